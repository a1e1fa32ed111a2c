#include <vector>

#include "errors.h"
#include "rcpplus/rcpplus.h"

namespace rcpplus {
namespace {

[[noreturn]] void ThrowPastEnd(const char* text) {
  detail::ThrowError(kBadParameter, text);
}

}  // namespace

struct RcpOutputStream::Buffer {
  std::vector<unsigned char> bytes;
};

RcpOutputStream::RcpOutputStream() : buffer_(new Buffer) {}

RcpOutputStream::~RcpOutputStream() { delete buffer_; }

void RcpOutputStream::writeOctet(unsigned char value) { buffer_->bytes.push_back(value); }

void RcpOutputStream::writeULong(unsigned long value) {
  const auto v = static_cast<std::uint32_t>(value);
  buffer_->bytes.push_back(static_cast<unsigned char>(v >> 24));
  buffer_->bytes.push_back(static_cast<unsigned char>(v >> 16));
  buffer_->bytes.push_back(static_cast<unsigned char>(v >> 8));
  buffer_->bytes.push_back(static_cast<unsigned char>(v));
}

const unsigned char* RcpOutputStream::data() const { return buffer_->bytes.data(); }

std::size_t RcpOutputStream::size() const { return buffer_->bytes.size(); }

RcpInputStream::RcpInputStream() : data_(nullptr), size_(0), position_(0) {}

RcpInputStream::RcpInputStream(const unsigned char* data, std::size_t size)
    : data_(data), size_(data == nullptr ? 0 : size), position_(0) {}

unsigned char RcpInputStream::readOctet() {
  if (size_ - position_ < 1) {
    ThrowPastEnd("RcpInputStream::readOctet: read past the end of the payload");
  }
  return data_[position_++];
}

unsigned short RcpInputStream::readUShort() {
  if (size_ - position_ < 2) {
    ThrowPastEnd("RcpInputStream::readUShort: read past the end of the payload");
  }
  const auto value = static_cast<unsigned short>(data_[position_] << 8 | data_[position_ + 1]);
  position_ += 2;
  return value;
}

unsigned long RcpInputStream::readULong() {
  if (size_ - position_ < 4) {
    ThrowPastEnd("RcpInputStream::readULong: read past the end of the payload");
  }
  const unsigned char* p = data_ + position_;
  const unsigned long value = static_cast<unsigned long>(p[0]) << 24 |
                              static_cast<unsigned long>(p[1]) << 16 |
                              static_cast<unsigned long>(p[2]) << 8 | p[3];
  position_ += 4;
  return value;
}

void RcpInputStream::skip(int count) {
  if (count < 0 || static_cast<std::size_t>(count) > size_ - position_) {
    ThrowPastEnd("RcpInputStream::skip: skip past the end of the payload");
  }
  position_ += static_cast<std::size_t>(count);
}

int RcpInputStream::available() const { return static_cast<int>(size_ - position_); }

}  // namespace rcpplus
