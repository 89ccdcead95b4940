#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace caskel::cli {

// Keys as an indented tree of their "/" parts, for `ls --tree`: a line per folder ("api/") and
// per key, two spaces deeper per level, names in byte order and a key before a folder of the
// same name. Any text is a key here, also one with empty parts, so that a bad key still shows.
class KeyTree {
 public:
  KeyTree();
  ~KeyTree();
  // `label` follows the key's name on its line.
  void add(std::string_view account, std::string label);
  std::string render() const;

 private:
  struct Node;
  void renderNode(const Node& node, size_t depth, std::string& out) const;
  std::unique_ptr<Node> root_;
};

}  // namespace caskel::cli
