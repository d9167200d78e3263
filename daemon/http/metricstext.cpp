#include "daemon/http/metricstext.h"
#include "daemon/http/sitesnapshot.h"
#include "detector/valueformats.h"

#include <array>
#include <charconv>
#include <functional>
#include <vector>

namespace {
struct Family {
    const char *name;
    const char *type;
    const char *help;
};

// A label value with \, " and line feeds escaped.
QByteArray escaped(const QString &value)
{
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c == '\n' ? QByteArray("\\n") : QByteArray(1, c);
    }
    return out;
}

// The shortest text that reads back as the same double ("468", "23.5", "0.025").
void appendNumber(QByteArray &out, double v)
{
    char buf[32];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    out.append(buf, end - buf);
}

class Writer {
public:
    explicit Writer(QByteArray &out) : out(out) {}
    void family(const Family &f)
    {
        out += "# HELP ";
        out += f.name;
        out += ' ';
        out += f.help;
        out += "\n# TYPE ";
        out += f.name;
        out += ' ';
        out += f.type;
        out += '\n';
    }
    // name<suffix>{labels,more} value; labels already formatted
    // ("line=\"a\",address=\"1\""), more a further one or empty.
    void sample(const char *name, const QByteArray &labels, double value, const char *suffix = "",
                const QByteArray &more = {})
    {
        out += name;
        out += suffix;
        if (!labels.isEmpty()) {
            out += '{';
            out += labels;
            if (!more.isEmpty()) {
                out += ',';
                out += more;
            }
            out += '}';
        }
        out += ' ';
        appendNumber(out, value);
        out += '\n';
    }

private:
    QByteArray &out;
};

QByteArray detectorLabels(const LineSnapshot &l, const DetectorSnapshot &d)
{
    return "line=\"" + escaped(l.name) + "\",address=\"" + QByteArray::number(d.address) + '"';
}

using DetectorValue = std::function<double(const DetectorSnapshot &)>;
struct DetectorFamily {
    Family family;
    bool needsReply; // shown only once the detector has answered
    DetectorValue value;
};

const DetectorFamily DetectorFamilies[] = {
    {{"kalmir_detector_up", "gauge", "1 while the detector answers, 0 after three failed passes or a lost line."},
     false, [](const auto &d) { return d.up ? 1.0 : 0.0; }},
    {{"kalmir_detector_fire", "gauge", "The fire bit of the last status reply."}, true,
     [](const auto &d) { return d.status.fire() ? 1.0 : 0.0; }},
    {{"kalmir_detector_fault", "gauge", "The fault bit of the last status reply."}, true,
     [](const auto &d) { return d.status.fault() ? 1.0 : 0.0; }},
    {{"kalmir_detector_dust", "gauge", "The dust bit of the last status reply."}, true,
     [](const auto &d) { return d.status.dust() ? 1.0 : 0.0; }},
    {{"kalmir_detector_ir_signal", "gauge", "The IR channel's signal (Uik)."}, true,
     [](const auto &d) { return double(d.status.irSignal); }},
    {{"kalmir_detector_uv_signal", "gauge", "The UV channel's signal (Uuf)."}, true,
     [](const auto &d) { return double(d.status.uvSignal); }},
    {{"kalmir_detector_dust_signal", "gauge", "The dust channel's signal (Ukz)."}, true,
     [](const auto &d) { return double(d.status.dustSignal); }},
    {{"kalmir_detector_ir_threshold", "gauge", "The IR channel's threshold (Up_ik)."}, true,
     [](const auto &d) { return double(d.status.irThreshold); }},
    {{"kalmir_detector_uv_threshold", "gauge", "The UV channel's threshold (Up_uf)."}, true,
     [](const auto &d) { return double(d.status.uvThreshold); }},
    {{"kalmir_detector_temperature_celsius", "gauge", "The detector's temperature."}, true,
     [](const auto &d) { return d.status.temperatureTenths / 10.0; }},
    {{"kalmir_detector_last_good_age_seconds", "gauge", "Time since the last good status reply."}, true,
     [](const auto &d) { return d.lastGoodAgeS; }},
    {{"kalmir_requests_total", "counter", "Requests sent to the detector."}, false,
     [](const auto &d) { return double(d.counts.requests); }},
    {{"kalmir_timeouts_total", "counter", "Requests the detector did not answer in time."}, false,
     [](const auto &d) { return double(d.counts.timeouts); }},
    {{"kalmir_crc_errors_total", "counter", "Replies with a wrong CRC, cut ones among them."}, false,
     [](const auto &d) { return double(d.counts.crcErrors); }},
    {{"kalmir_exceptions_total", "counter", "Requests the detector refused with an exception reply."}, false,
     [](const auto &d) { return double(d.counts.exceptions); }},
    {{"kalmir_unexpected_total", "counter", "Replies with a good CRC that do not answer the request."}, false,
     [](const auto &d) { return double(d.counts.unexpected); }},
};

void detectorFamilies(Writer &w, const SiteSnapshot &site)
{
    std::vector<QByteArray> labels;
    for (const LineSnapshot &l : site.lines)
        for (const DetectorSnapshot &d : l.detectors)
            labels.push_back(detectorLabels(l, d));
    for (const DetectorFamily &f : DetectorFamilies) {
        w.family(f.family);
        size_t i = 0;
        for (const LineSnapshot &l : site.lines)
            for (const DetectorSnapshot &d : l.detectors) {
                if (d.answered || !f.needsReply)
                    w.sample(f.family.name, labels[i], f.value(d));
                ++i;
            }
    }
    const char *info = "kalmir_detector_info";
    w.family({info, "gauge", "The serial number and firmware version of the last status reply."});
    for (const LineSnapshot &l : site.lines)
        for (const DetectorSnapshot &d : l.detectors)
            if (d.answered)
                w.sample(info,
                         detectorLabels(l, d) + ",serial=\"" + QByteArray::number(d.status.serialNumber)
                             + "\",version=\""
                             + escaped(versionText(d.status.versionMajor, d.status.versionMinor, d.status.versionBuild))
                             + '"',
                         1);
}

void roundTrips(Writer &w, const SiteSnapshot &site)
{
    const char *name = "kalmir_detector_round_trip_seconds";
    w.family({name, "histogram", "Round trips of good replies, as the line times them."});
    std::array<QByteArray, RoundTripHistogram::Bounds.size() + 1> le;
    for (size_t i = 0; i < RoundTripHistogram::Bounds.size(); ++i) {
        le[i] = "le=\"";
        appendNumber(le[i], RoundTripHistogram::Bounds[i]);
        le[i] += '"';
    }
    le.back() = "le=\"+Inf\"";
    for (const LineSnapshot &l : site.lines)
        for (const DetectorSnapshot &d : l.detectors) {
            const QByteArray labels = detectorLabels(l, d);
            const RoundTripHistogram &h = d.roundTrips;
            uint64_t cumulative = 0;
            for (size_t i = 0; i < le.size(); ++i) {
                cumulative += h.buckets[i];
                w.sample(name, labels, double(cumulative), "_bucket", le[i]);
            }
            w.sample(name, labels, h.sumSeconds, "_sum");
            w.sample(name, labels, double(h.count), "_count");
        }
}

using LineValue = std::function<double(const LineSnapshot &)>;
const std::pair<Family, LineValue> LineFamilies[] = {
    {{"kalmir_line_up", "gauge", "1 while the line's port is open and not lost."},
     [](const auto &l) { return l.up ? 1.0 : 0.0; }},
    {{"kalmir_line_passes_per_second", "gauge", "Polling passes over the last 5 s."},
     [](const auto &l) { return l.passesPerSecond; }},
    {{"kalmir_line_wire_limit_passes_per_second", "gauge", "Status passes per second the line's speed allows."},
     [](const auto &l) { return l.wireLimit; }},
    {{"kalmir_line_lost_total", "counter", "Times the line's port was lost."},
     [](const auto &l) { return double(l.losses); }},
};

void serviceFamilies(Writer &w, const SiteSnapshot &site)
{
    const std::pair<Family, double> families[] = {
        {{"kalmir_mqtt_connected", "gauge", "1 while the broker is connected."}, site.mqttConnected ? 1.0 : 0.0},
        {{"kalmir_dropped_events_total", "counter", "Events dropped: from a full queue, or refused by the MQTT client."},
         double(site.eventsDropped)},
        {{"kalmir_dropped_results_total", "counter",
          "Command results dropped: from a full queue, or refused by the MQTT client."},
         double(site.resultsDropped)},
        {{"kalmir_log_lines_dropped_total", "counter", "Log lines dropped because stderr was not read in time."},
         double(site.logLinesDropped)},
        {{"kalmir_queue_durable", "gauge",
          "1 while every event and result is committed to the queue file; 0 while they are held in memory only."},
         site.queueDurable ? 1.0 : 0.0},
    };
    for (const auto &[f, value] : families) {
        w.family(f);
        w.sample(f.name, {}, value);
    }
    w.family({"kalmir_build_info", "gauge", "The running kalmird's version."});
    w.sample("kalmir_build_info", "version=\"" + escaped(site.version) + '"', 1);
}
} // namespace

QByteArray metricsText(const SiteSnapshot &site)
{
    QByteArray out;
    out.reserve(4096 + 8192 * qsizetype(site.lines.size()));
    Writer w(out);
    detectorFamilies(w, site);
    roundTrips(w, site);
    for (const auto &[f, value] : LineFamilies) {
        w.family(f);
        for (const LineSnapshot &l : site.lines)
            w.sample(f.name, "line=\"" + escaped(l.name) + '"', value(l));
    }
    serviceFamilies(w, site);
    return out;
}
