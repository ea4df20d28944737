// Fuzzes the scan over the recording double: random listings (well-formed or not), values and
// platform results. Exactly the matching names must be uninstalled, in listing order, and the
// result must be FALSE exactly when the listing, the allocation or an uninstall failed.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "recording_platform.h"
#include "removal/inf_scan.h"

namespace {

const WCHAR* const kExpectedValues[] = {u"Tamrix PNP", u"a", u"\u00c4", nullptr};

WideString Text(FuzzedDataProvider& data, size_t max_length) {
  static const char16_t kAlphabet[] = u"aAbB PNPpnp\u00c4\u00e4.\\@`[{zZ";
  WideString text;
  const size_t length = data.ConsumeIntegralInRange<size_t>(0, max_length);
  for (size_t i = 0; i < length; ++i) {
    text.push_back(kAlphabet[data.ConsumeIntegralInRange<size_t>(0, sizeof kAlphabet / 2 - 2)]);
  }
  return text;
}

bool Matches(const WideString& value, const WCHAR* expected) {
  if (value.empty()) return false;
  if (expected == nullptr) return true;
  const WideString wanted(expected);
  if (value.size() != wanted.size()) return false;
  for (size_t i = 0; i < value.size(); ++i) {
    const auto fold = [](WCHAR c) { return c >= u'A' && c <= u'Z' ? static_cast<WCHAR>(c + 32) : c; };
    if (fold(value[i]) != fold(wanted[i])) return false;
  }
  return true;
}

// The names a list of `capacity` units holds: up to the empty name, never an unterminated tail.
std::vector<WideString> NamesIn(const WideString& list) {
  std::vector<WideString> names;
  size_t start = 0;
  while (start < list.size() && list[start] != 0) {
    const size_t end = list.find(WCHAR{0}, start);
    if (end == WideString::npos) break;
    names.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  ResetRecorder();
  RecordingPlatform& r = Recorder();
  const WCHAR* expected = data.PickValueInArray(kExpectedValues);

  const size_t count = data.ConsumeIntegralInRange<size_t>(0, 12);
  for (size_t i = 0; i < count; ++i) {
    WideString name = Text(data, 6) + u".inf";
    if (std::find(r.listing.begin(), r.listing.end(), name) != r.listing.end()) continue;
    r.listing.push_back(name);
    if (data.ConsumeBool()) r.infs[name][u"K"] = Text(data, 12);
    if (data.ConsumeIntegralInRange(0, 3) == 0) r.refuse_uninstall.insert(name);
  }
  if (data.ConsumeIntegralInRange(0, 7) == 0) r.failing_list_calls.insert(data.ConsumeIntegralInRange<size_t>(0, 1));
  r.fail_allocation = data.ConsumeIntegralInRange(0, 15) == 0;
  // Sometimes the fill hands back a list of its own, as long as the measured one, in any shape.
  size_t measured = 1;
  for (const WideString& name : r.listing) measured += name.size() + 1;
  if (data.ConsumeBool()) {
    WideString raw;
    while (raw.size() < measured) {
      raw.push_back(data.ConsumeBool() ? WCHAR{0} : u"ab.\u00c4"[data.ConsumeIntegralInRange(0, 3)]);
    }
    r.raw_fill = raw;
  }

  const std::vector<WideString> listed =
      NamesIn(r.raw_fill ? *r.raw_fill : [&] {
        WideString list;
        for (const WideString& name : r.listing) list += name + WideString(1, 0);
        return list + WideString(1, 0);
      }());
  const bool listing_fails = !r.failing_list_calls.empty() || r.fail_allocation;
  std::vector<WideString> should_go;
  bool uninstall_fails = false;
  if (!listing_fails) {
    // A name the list repeats is read again after its uninstall, and is gone by then.
    std::set<WideString> gone;
    for (const WideString& name : listed) {
      const auto inf = r.infs.find(name);
      const bool has_value = inf != r.infs.end() && inf->second.count(u"K") && !gone.count(name);
      const WideString value = has_value ? inf->second.at(u"K") : WideString();
      if (!Matches(value.substr(0, MAX_PATH - 1), expected)) continue;
      should_go.push_back(name);
      const bool staged = std::find(r.listing.begin(), r.listing.end(), name) != r.listing.end();
      if (staged && !r.refuse_uninstall.count(name)) {
        gone.insert(name);
      } else {
        uninstall_fails = true;
      }
    }
  }

  const BOOL status = UninstallMatchingInfs(u"K", expected);

  if (r.UninstalledNames() != should_go) __builtin_trap();
  if ((status == FALSE) != (listing_fails || uninstall_fails)) __builtin_trap();
  if (r.blocks_outstanding != 0) __builtin_trap();
  return 0;
}
