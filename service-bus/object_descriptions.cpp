#include "service-bus/object_descriptions.h"

#include <sdbus-c++/Error.h>

#include <exception>

#include "base/error_text.h"
#include "service-bus/bus_names.h"
#include "service-bus/interface_xml.h"

namespace quillfen {
namespace {

constexpr char kHeader[] = "<node>\n";

// What sd-bus serves on every object; the service serves them still.
constexpr char kLibraryInterfaces[] =
    R"xml(  <interface name="org.freedesktop.DBus.Peer">
    <method name="Ping"/>
    <method name="GetMachineId">
      <arg type="s" name="machine_uuid" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.DBus.Introspectable">
    <method name="Introspect">
      <arg name="xml_data" type="s" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get">
      <arg name="interface_name" direction="in" type="s"/>
      <arg name="property_name" direction="in" type="s"/>
      <arg name="value" direction="out" type="v"/>
    </method>
    <method name="GetAll">
      <arg name="interface_name" direction="in" type="s"/>
      <arg name="props" direction="out" type="a{sv}"/>
    </method>
    <method name="Set">
      <arg name="interface_name" direction="in" type="s"/>
      <arg name="property_name" direction="in" type="s"/>
      <arg name="value" direction="in" type="v"/>
    </method>
    <signal name="PropertiesChanged">
      <arg type="s" name="interface_name"/>
      <arg type="a{sv}" name="changed_properties"/>
      <arg type="as" name="invalidated_properties"/>
    </signal>
  </interface>
)xml";

std::string WithoutComments(std::string_view text) {
  std::string kept;
  for (;;) {
    std::size_t open = text.find("<!--");
    if (open == std::string_view::npos) break;
    std::size_t close = text.find("-->", open);
    if (close == std::string_view::npos) break;
    // The comment's line goes too when the comment fills it.
    std::size_t line_start = text.rfind('\n', open);
    std::size_t cut = open;
    if (line_start != std::string_view::npos &&
        text.substr(line_start + 1, open - line_start - 1)
                .find_first_not_of(' ') == std::string_view::npos) {
      cut = line_start;
    }
    kept.append(text.substr(0, cut));
    text.remove_prefix(close + 3);
  }
  kept.append(text);
  return kept;
}

}  // namespace

std::string InterfaceElement(std::string_view xml, std::string_view name) {
  std::string open = "<interface name=\"" + std::string(name) + "\"";
  std::size_t begin = xml.find(open);
  if (begin == std::string_view::npos) return "";
  constexpr std::string_view kClose = "</interface>";
  std::size_t end = xml.find(kClose, begin);
  if (end == std::string_view::npos) return "";
  return "  " +
         WithoutComments(xml.substr(begin, end + kClose.size() - begin)) + "\n";
}

std::string ServiceObjectXml(bool has_jobs) {
  std::string text = kHeader;
  text += kLibraryInterfaces;
  text += InterfaceElement(bus::kInterfaceXml, bus::kInterface);
  text += InterfaceElement(bus::kInterfaceXml, bus::kJobsInterface);
  if (has_jobs) text += "  <node name=\"jobs\"/>\n";
  return text + "</node>\n";
}

std::string JobObjectXml() {
  return kHeader + std::string(kLibraryInterfaces) +
         InterfaceElement(bus::kInterfaceXml, bus::kJobInterface) + "</node>\n";
}

ObjectDescriptions::ObjectDescriptions(sd_bus* bus, Describe describe)
    : describe_(std::move(describe)) {
  int r = sd_bus_add_filter(bus, &slot_, &ObjectDescriptions::OnMessage, this);
  if (r < 0) {
    throw sdbus::Error("org.freedesktop.DBus.Error.Failed",
                       "sd_bus_add_filter: " + SystemErrorText(-r));
  }
}

ObjectDescriptions::~ObjectDescriptions() { sd_bus_slot_unref(slot_); }

int ObjectDescriptions::OnMessage(sd_bus_message* message, void* self,
                                  sd_bus_error* /*error*/) {
  if (!sd_bus_message_is_method_call(
          message, "org.freedesktop.DBus.Introspectable", "Introspect")) {
    return 0;
  }
  const char* path = sd_bus_message_get_path(message);
  const char* signature = sd_bus_message_get_signature(message, 1);
  if (path == nullptr || (signature != nullptr && *signature != '\0')) {
    return 0;  // sd-bus answers it as it would.
  }
  try {
    std::string text = static_cast<ObjectDescriptions*>(self)->describe_(path);
    if (text.empty()) return 0;
    // Answered, or not at all when the caller is gone: either way nothing
    // further is owed.
    sd_bus_reply_method_return(message, "s", text.c_str());
    return 1;
  } catch (const std::exception&) {
    return 0;  // Nothing unwinds into sd-bus; it answers as it would.
  }
}

}  // namespace quillfen
