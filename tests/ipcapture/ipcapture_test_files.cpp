#include "ipcapture_test_files.h"

namespace ipcapturetest {

namespace {

std::string Value(const std::string& name, const std::string& value) {
  return "<" + name + " value=\"" + value + "\"/>";
}

}  // namespace

std::string DeviceTypeXml(const DeviceTypeOptions& o) {
  std::string xml = "<?xml version=\"1.0\"?>\n<" + o.root + ">\n";
  if (o.cameraCount >= 0) xml += "  " + Value("cameraCount", std::to_string(o.cameraCount)) + "\n";
  if (!o.mode.empty()) xml += "  " + Value("mode", o.mode) + "\n";
  xml += "  <framerate>" + Value("max", "25") + "</framerate>\n";
  xml += "  <quality>" + Value("min", "1") + Value("low", "2") + Value("medium", "3") +
         Value("high", "4") + Value("max", "5") + "</quality>\n";
  xml += "  <resolutions>";
  if (o.cif) xml += Value("cif", "true") + Value("cifx", "352") + Value("cify", "288");
  if (o.cif4) xml += Value("cif4", "true") + Value("cif4x", "704") + Value("cif4y", "576");
  xml += "</resolutions>\n";
  if (o.inputs > 0 || o.outputs > 0)
    xml += "  <io>" + Value("input", std::to_string(o.inputs)) +
           Value("output", std::to_string(o.outputs)) + "</io>\n";
  if (o.networkTimeoutMs > 0)
    xml += "  " + Value("networktimeout", std::to_string(o.networkTimeoutMs)) + "\n";
  xml += "</" + o.root + ">\n";
  return xml;
}

}  // namespace ipcapturetest
