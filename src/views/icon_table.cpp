#include "views/icon_table.h"

#include <iterator>

namespace caskel::style {

namespace {

// Every symbol the screens use, its theme icon and our own drawing of it.
constexpr IconEntry kIcons[] = {
    {"key", "dialog-password", "key.svg"},
    {"magnifyingglass", "edit-find", "magnifyingglass.svg"},
    {"plus", "list-add", "plus.svg"},
    {"pencil", "document-edit", "pencil.svg"},
    {"trash", "edit-delete", "trash.svg"},
    {"gearshape", "preferences-system", "gearshape.svg"},
    {"questionmark.circle", "help-about", "questionmark.circle.svg"},
    {"doc.on.doc", "edit-copy", "doc.on.doc.svg"},
    {"doc.on.clipboard", "edit-paste", "doc.on.clipboard.svg"},
    {"doc.text.magnifyingglass", "document-preview", "doc.text.magnifyingglass.svg"},
    {"chevron.down", "go-down", "chevron.down.svg"},
    {"chevron.right", "go-next", "chevron.right.svg"},
    {"chevron.left", "go-previous", "chevron.left.svg"},
    {"lock.fill", "", "lock.fill.svg"},
    {"lock.open.fill", "", "lock.open.fill.svg"},
    {"checkmark", "", "checkmark.svg"},
    {"checkmark.circle.fill", "", "checkmark.circle.fill.svg"},
    {"xmark.circle.fill", "", "xmark.circle.fill.svg"},
    {"exclamationmark.circle.fill", "", "exclamationmark.circle.fill.svg"},
    {"exclamationmark.triangle.fill", "", "exclamationmark.triangle.fill.svg"},
    {"eye.fill", "", "eye.fill.svg"},
    {"eye.slash.fill", "", "eye.slash.fill.svg"},
    {"arrow.counterclockwise", "view-refresh", "arrow.counterclockwise.svg"},
    // Onboarding.
    {"key.fill", "", "key.fill.svg"},
    {"terminal", "utilities-terminal", "terminal.svg"},
    {"cpu", "", "cpu.svg"},
    {"cursorarrow.rays", "", "cursorarrow.rays.svg"},
    {"wind", "", "wind.svg"},
    {"chevron.left.forwardslash.chevron.right", "", "chevron.left.forwardslash.chevron.right.svg"},
    {"folder", "folder", "folder.svg"},
    {"lock.shield", "", "lock.shield.svg"},
    {"xmark.shield.fill", "", "xmark.shield.fill.svg"},
    {"arrow.triangle.branch", "", "arrow.triangle.branch.svg"},
    {"doc.badge.plus", "document-new", "doc.badge.plus.svg"},
    {"square.and.arrow.down", "document-save", "square.and.arrow.down.svg"},
    {"checkmark.seal.fill", "", "checkmark.seal.fill.svg"},
    {"menubar.rectangle", "", "menubar.rectangle.svg"},
    {"shield.checkered", "", "shield.checkered.svg"},
    {"circle", "", "circle.svg"},
    {"lock.shield.fill", "security-high", "lock.shield.fill.svg"},
};

}  // namespace

const IconEntry* findIcon(std::string_view symbol) {
  for (const IconEntry& entry : kIcons) {
    if (symbol == entry.symbol) return &entry;
  }
  return nullptr;
}

std::span<const IconEntry> iconTable() {
  return kIcons;
}

}  // namespace caskel::style
