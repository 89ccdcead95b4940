#pragma once

#include <span>
#include <string_view>

namespace caskel::style {

struct IconEntry {
  const char* symbol;     // the screens' name for it
  const char* themeName;  // the freedesktop icon-theme name ("" when none fits)
  const char* fallback;   // our SVG in the resource folder icons/
};

// Null for a symbol the table does not know.
const IconEntry* findIcon(std::string_view symbol);
// Every row, in table order.
std::span<const IconEntry> iconTable();

}  // namespace caskel::style
