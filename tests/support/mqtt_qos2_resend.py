#!/usr/bin/python3
"""Publishes one message at QoS 2 as a client that lost the broker's PUBREC
would: the PUBLISH, the same PUBLISH again with DUP set and the same packet
id, then PUBREL. Speaks MQTT 3.1.1 on a raw socket, so nothing between it and
the broker smooths the resend away.

usage: mqtt_qos2_resend.py PORT CAFILE USER PASSWORD TOPIC PAYLOAD
(CAFILE "" for a plain connection; USER "" for none). Exit 0 when the broker
completed the exchange (PUBCOMP)."""
import socket
import ssl
import struct
import sys


def field(text):
    data = text.encode()
    return struct.pack("!H", len(data)) + data


def packet(first, body):
    length, encoded = len(body), b""
    while True:
        byte, length = length % 128, length // 128
        encoded += bytes([byte | (0x80 if length else 0)])
        if not length:
            return bytes([first]) + encoded + body


def read_packet(sock):
    first = sock.recv(1)
    if not first:
        sys.exit("the broker closed the connection")
    length, shift = 0, 0
    while True:
        byte = sock.recv(1)[0]
        length |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            break
    body = b""
    while len(body) < length:
        body += sock.recv(length - len(body))
    return first[0], body


def expect(sock, kind, packet_id=None):
    first, body = read_packet(sock)
    if first >> 4 != kind or (packet_id is not None and body[:2] != struct.pack("!H", packet_id)):
        sys.exit("expected packet type %d, got %02x %s" % (kind, first, body.hex()))
    return body


def main():
    port, cafile, user, password, topic, payload = sys.argv[1:7]
    sock = socket.create_connection(("127.0.0.1", int(port)), timeout=10)
    if cafile:
        sock = ssl.create_default_context(cafile=cafile).wrap_socket(sock, server_hostname="127.0.0.1")
    flags = 0x02 | (0xC0 if user else 0)
    body = field("MQTT") + bytes([4, flags]) + struct.pack("!H", 30) + field("qos2-resend")
    if user:
        body += field(user) + field(password)
    sock.sendall(packet(0x10, body))
    if expect(sock, 2)[1] != 0:
        sys.exit("connection refused")
    packet_id = 7
    message = field(topic) + struct.pack("!H", packet_id) + payload.encode()
    sock.sendall(packet(0x34, message))         # QoS 2
    expect(sock, 5, packet_id)                  # PUBREC
    sock.sendall(packet(0x34 | 0x08, message))  # the same again, DUP set
    expect(sock, 5, packet_id)
    sock.sendall(packet(0x62, struct.pack("!H", packet_id)))  # PUBREL
    expect(sock, 7, packet_id)                  # PUBCOMP
    sock.sendall(packet(0xE0, b""))
    sock.close()


main()
