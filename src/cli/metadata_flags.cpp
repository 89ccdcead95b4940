#include "cli/metadata_flags.h"

#include "cli/secret_commands.h"

namespace caskel::cli {

namespace {

void put(nlohmann::json& request, const char* key, const std::optional<std::string>& value) {
  if (value) request[key] = *value;
}

// The stored field unless a flag names it; a flag of empty text clears it.
void merge(nlohmann::json& request, const char* key, const std::optional<std::string>& stored,
           const std::optional<std::string>& given) {
  const std::optional<std::string>& chosen = given ? given : stored;
  if (chosen && !chosen->empty()) request[key] = *chosen;
}

}  // namespace

bool MetadataFlags::valid(const CommandContext& ctx) const {
  if (expires && !expires->empty() && !isValidDate(*expires)) {
    ctx.error("Error: invalid --expires date — use YYYY-MM-DD (for example 2026-03-31).");
    return false;
  }
  return true;
}

void MetadataFlags::addTo(nlohmann::json& request) const {
  put(request, "type", type);
  put(request, "bundle", bundle);
  put(request, "desc", desc);
  put(request, "expires", expires);
  put(request, "rotate", rotate);
  if (strict) request["strict"] = *strict;
}

nlohmann::json MetadataFlags::mergedWith(const std::optional<ListedSecret>& stored) const {
  const ListedSecret none;
  const ListedSecret& was = stored ? *stored : none;
  nlohmann::json fields = nlohmann::json::object();
  merge(fields, "type", was.type, type);
  merge(fields, "bundle", was.bundle, bundle);
  merge(fields, "desc", was.desc, desc);
  merge(fields, "expires", was.expires, expires);
  merge(fields, "rotate", was.rotate, rotate);
  fields["strict"] = strict.value_or(was.strict);
  return fields;
}

}  // namespace caskel::cli
