// A driver object that records what the adapters ask of it, in order, and answers as told.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "veltrane/capture_api.h"
#include "veltrane/capture_io.h"

namespace fakes {

class FakeCaptureDriver final : public CCaptureAPIEx {
 public:
  struct StartCall {
    int channel;
    int frameIntervalMs;
    int resolutionCode;
    int quality;
  };

  int HostOperation01() override { return Record("HostOperation01", hostOperation01Result); }
  void SetCaptureUser(CCaptureAPIUser* user) override {
    captureUser = user;
    captureUsers.push_back(user);
  }
  void SetVideoAllocator(CVideoAllocator* allocator) override {
    videoAllocator = allocator;
    Record("SetVideoAllocator", 0);
  }
  int SetVideoMode(int) override { return 1; }
  int SetCompression(std::uint32_t) override { return 0; }
  int GetResolutionSize(int, int*, int*) override { return 0; }
  int HostOperation07(int) override { return 0; }
  int GetChannelCount() override { return 1; }
  int GetFirstCompression(std::uint32_t*) override { return 0; }
  int GetNextCompression(std::uint32_t*) override { return 0; }
  int GetMaxFrameRate(unsigned, int*) override { return 0; }
  int HostOperation12() override { return 1; }
  int GetFirstResolution(int*) override { return 0; }
  int GetNextResolution(int*) override { return 0; }
  int GetFirstFrameInterval(int*) override { return 0; }
  int GetNextFrameInterval(int*) override { return 0; }
  int HostOperation17() override { return 0; }
  int Open(const char* argument) override {
    openArgument = argument ? argument : "<null>";
    return Record("Open", openResult);
  }
  int Close() override { return Record("Close", 1); }
  int StartChannel(int channel, int frameIntervalMs, int resolutionCode, int quality) override {
    starts.push_back({channel, frameIntervalMs, resolutionCode, quality});
    return Record("StartChannel(" + std::to_string(channel) + ")", startResult);
  }
  int StopChannel(int channel) override {
    return Record("StopChannel(" + std::to_string(channel) + ")", stopResult);
  }
  int GetChannelName(unsigned, char*, unsigned) override { return 0; }
  int HostOperation23() override { return 0; }
  int HostOperation24() override { return 1; }
  int HostOperation25() override { return 0; }
  int HostOperation26(int, int, int, int, int, int, int, int, int) override { return 0; }
  int HostOperation27() override { return 0; }
  int HostOperation28(int) override { return 0; }
  void HostOperation29() override {}
  int SetProperty(const char* name, const void* value, int length) override {
    const std::string key = name ? name : "<null>";
    std::string text;
    if (key == "IPSERVERPORT")
      text = std::to_string(reinterpret_cast<std::uintptr_t>(value));
    else
      text = value ? static_cast<const char*>(value) : "<null>";
    properties.push_back(key + "=" + text);
    propertyLengths.push_back(length);
    const auto refused = refuseProperty.find(key);
    return Record("SetProperty(" + key + ")", refused != refuseProperty.end() ? 0 : 1);
  }
  int GetProperty(const char* name, void* buffer, int size) override {
    const std::string key = name ? name : "<null>";
    getPropertySizes.push_back(size);
    Record("GetProperty(" + key + ")", 0);
    if (key == "ICaptureIOApi" && ioApi && buffer && size == static_cast<int>(sizeof ioApi)) {
      std::memcpy(buffer, &ioApi, sizeof ioApi);
      return 1;
    }
    if (key == "isIPCamera" && buffer && size >= 4) {
      const std::int32_t one = 1;
      std::memcpy(buffer, &one, sizeof one);
      return 1;
    }
    return 0;
  }
  int HostOperation32(int* first, int* second) override {
    if (first) *first = 0;
    if (second) *second = 0;
    return 0;
  }
  int HostOperation33(int, int) override { return 0; }
  int GetChannelStatus(int channel, int* state, int* event, char* text,
                       unsigned textSize) override {
    statusArguments = {channel, textSize};
    if (state) *state = ChannelVideo;
    if (event) *event = 9;
    if (text && textSize > 0) text[0] = '\0';
    return Record("GetChannelStatus(" + std::to_string(channel) + ")", statusResult);
  }
  int HostOperation35(int) override { return 0; }
  int HostOperation36(int, int) override { return 0; }
  int HostOperation37(int, int) override { return 0; }

  bool Called(const std::string& call) const {
    for (const std::string& c : calls)
      if (c == call) return true;
    return false;
  }

  // Every call, in order (SetCaptureUser is kept apart in captureUsers).
  std::vector<std::string> calls;
  std::vector<std::string> properties;  // "NAME=value"
  std::vector<int> propertyLengths;
  std::vector<int> getPropertySizes;
  std::vector<StartCall> starts;
  std::vector<CCaptureAPIUser*> captureUsers;
  std::map<std::string, bool> refuseProperty;
  std::pair<int, unsigned> statusArguments{-1, 0};
  std::string openArgument;
  CCaptureAPIUser* captureUser = nullptr;
  CVideoAllocator* videoAllocator = nullptr;
  corvane::ICaptureIOApi* ioApi = nullptr;
  int hostOperation01Result = 1;
  int openResult = 1;
  int startResult = 1;
  int stopResult = 1;
  int statusResult = 1;
  // Runs at every recorded call before it answers: lets a test make the driver throw or
  // block inside a call.
  std::function<void(const std::string& call)> onCall;

 private:
  int Record(const std::string& call, int result) {
    calls.push_back(call);
    if (onCall) onCall(call);
    return result;
  }
};

}  // namespace fakes
