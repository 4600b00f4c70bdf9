#include "audio/PulseCore.h"

namespace quippet {

namespace {

bool containsAny(const QString& haystack, std::initializer_list<const char*> needles) {
    for (const char* n : needles)
        if (haystack.contains(QLatin1String(n), Qt::CaseInsensitive))
            return true;
    return false;
}

} // namespace

OutputDeviceFacts factsOf(const pa_sink_info& sink) {
    OutputDeviceFacts facts;
    if (sink.active_port) {
        facts.portType = int(sink.active_port->type);
        facts.portName = paText(sink.active_port->name);
    }
    facts.formFactor = paText(pa_proplist_gets(sink.proplist, PA_PROP_DEVICE_FORM_FACTOR));
    facts.bus = paText(pa_proplist_gets(sink.proplist, PA_PROP_DEVICE_BUS));
    facts.sinkName = paText(sink.name);
    facts.description = paText(sink.description);
    return facts;
}

OutputRoute classifyOutput(const OutputDeviceFacts& facts) {
    OutputRoute route;
    route.deviceName = facts.description;
    auto as = [&](OutputRoute::Kind kind) {
        route.kind = kind;
        route.description.clear();
        return route;
    };
    switch (facts.portType) {
    case PA_DEVICE_PORT_TYPE_HEADPHONES:
    case PA_DEVICE_PORT_TYPE_HEADSET:
    case PA_DEVICE_PORT_TYPE_HANDSET:
    case PA_DEVICE_PORT_TYPE_EARPIECE:
    case PA_DEVICE_PORT_TYPE_BLUETOOTH:
    case PA_DEVICE_PORT_TYPE_USB:
    case PA_DEVICE_PORT_TYPE_HANDSFREE:
        return as(OutputRoute::Kind::Headphones);
    case PA_DEVICE_PORT_TYPE_SPEAKER:
    case PA_DEVICE_PORT_TYPE_HDMI:
    case PA_DEVICE_PORT_TYPE_TV:
        return as(OutputRoute::Kind::Speakers);
    default:
        break;
    }
    if (containsAny(facts.portName, {"headphone", "headset"}))
        return as(OutputRoute::Kind::Headphones);
    if (containsAny(facts.portName, {"speaker", "hdmi"}))
        return as(OutputRoute::Kind::Speakers);
    if (containsAny(facts.formFactor, {"headphone", "headset", "hands-free", "handset"}))
        return as(OutputRoute::Kind::Headphones);
    if (containsAny(facts.formFactor, {"speaker", "internal", "tv", "hifi"}))
        return as(OutputRoute::Kind::Speakers);
    if (containsAny(facts.bus, {"bluetooth", "usb"}))
        return as(OutputRoute::Kind::Headphones);
    route.kind = OutputRoute::Kind::Unknown;
    route.description = !facts.bus.isEmpty() ? facts.bus : facts.sinkName;
    return route;
}

} // namespace quippet
