#include "cli/key_tree.h"

namespace caskel::cli {

struct KeyTree::Node {
  std::string label;
  // (name, is a folder): a key and a folder may share a name (a/b and a/b/c).
  std::map<std::pair<std::string, bool>, std::unique_ptr<Node>> children;
};

KeyTree::KeyTree() : root_(std::make_unique<Node>()) {}
KeyTree::~KeyTree() = default;

void KeyTree::add(std::string_view account, std::string label) {
  Node* node = root_.get();
  for (;;) {
    const size_t slash = account.find('/');
    const bool folder = slash != std::string_view::npos;
    auto& child = node->children[{std::string(account.substr(0, slash)), folder}];
    if (!child) child = std::make_unique<Node>();
    if (!folder) {
      child->label = std::move(label);
      return;
    }
    node = child.get();
    account.remove_prefix(slash + 1);
  }
}

std::string KeyTree::render() const {
  std::string out;
  renderNode(*root_, 0, out);
  return out;
}

void KeyTree::renderNode(const Node& node, size_t depth, std::string& out) const {
  for (const auto& [key, child] : node.children) {
    out.append(depth * 2, ' ');
    out += key.first;
    if (key.second) {
      out += "/\n";
      renderNode(*child, depth + 1, out);
    } else {
      out += child->label + "\n";
    }
  }
}

}  // namespace caskel::cli
