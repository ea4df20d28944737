// The Wine 8 listing work-around, for the Windows test fixture and the benchmark alike.
#include "wine_listing.h"

#include <system_error>

namespace fs = std::filesystem;

namespace {

fs::path AliasOf(const fs::path& windows_directory, const fs::path& inf_name) {
  const fs::path::string_type prefix(1, 'i');
  return windows_directory / (prefix + inf_name.native());
}

}  // namespace

void AddWineListingAlias(const fs::path& windows_directory, const fs::path& inf_name) {
  const fs::path alias = AliasOf(windows_directory, inf_name);
  std::error_code ignored;
  fs::remove(alias, ignored);
  fs::create_hard_link(windows_directory / "inf" / inf_name, alias);
}

void RemoveWineListingAlias(const fs::path& windows_directory, const fs::path& inf_name) {
  std::error_code ignored;
  fs::remove(AliasOf(windows_directory, inf_name), ignored);
}
