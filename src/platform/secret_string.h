#pragma once

#include <sodium.h>

#include <string>
#include <string_view>
#include <utility>

namespace caskel {

// Text that holds a secret value. Its buffer is wiped when the object is destroyed or
// reassigned, so a value dropped from a cache or a reply does not linger in the heap.
// It is never grown in place (which would leave an unwiped copy behind): build it whole.
class SecretString {
 public:
  SecretString() = default;
  explicit SecretString(std::string_view text) : text_(text) {}
  explicit SecretString(std::string&& text) : text_(std::move(text)) {}
  SecretString(const SecretString& other) : text_(other.text_) {}
  SecretString(SecretString&& other) noexcept : text_(std::move(other.text_)) { other.wipe(); }
  SecretString& operator=(const SecretString& other) {
    if (this != &other) {
      wipe();
      text_ = other.text_;
    }
    return *this;
  }
  SecretString& operator=(SecretString&& other) noexcept {
    if (this != &other) {
      wipe();
      text_ = std::move(other.text_);
      other.wipe();
    }
    return *this;
  }
  ~SecretString() { wipe(); }

  std::string_view view() const { return text_; }
  const std::string& str() const { return text_; }
  const char* data() const { return text_.data(); }
  size_t size() const { return text_.size(); }
  bool empty() const { return text_.empty(); }
  bool operator==(const SecretString& other) const { return text_ == other.text_; }
  bool operator==(std::string_view other) const { return text_ == other; }

  // Zeroes the whole buffer (including the unused capacity) and empties the string.
  void wipe() {
    if (text_.capacity() > 0) sodium_memzero(text_.data(), text_.capacity());
    text_.clear();
  }

 private:
  std::string text_;
};

}  // namespace caskel
