#!/usr/bin/python3
"""Drives Debian's headless Chromium for the tests, one command a line on
stdin, one answer a line on stdout. Nothing is fetched from outside: every
host name but 127.0.0.1 resolves to nothing, and the background services
are off. The argument is the profile folder."""
import sys

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + profile,
                 "--no-first-run", "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--disable-default-apps", "--hide-scrollbars",
                 "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=options)


def run(driver, command, argument):
    if command == "hello":
        return "ok"
    if command == "open":
        driver.get(argument)
        return "ok"
    if command == "size":
        width, height = (int(x) for x in argument.split())
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})
        return "ok"
    if command == "rows":
        return " ".join(e.get_attribute("id") for e in driver.find_elements(By.CSS_SELECTOR, "tr[id]"))
    if command in ("class", "text"):
        found = driver.find_elements(By.ID, argument)
        if not found:
            return "-"
        return found[0].get_attribute("class") if command == "class" else found[0].text
    if command == "script":
        return str(driver.execute_script(argument))
    if command == "shot":
        driver.save_screenshot(argument)
        return "ok"
    return "error: unknown command " + command


def main():
    driver = browser(sys.argv[1])
    try:
        for line in sys.stdin:
            command, _, argument = line.strip().partition(" ")
            try:
                answer = run(driver, command, argument)
            except WebDriverException as e:
                answer = "error: " + str(e).splitlines()[0]
            print(answer.replace("\n", " "), flush=True)
    finally:
        driver.quit()


main()
