// The rule table and the run over it.
#include "removal/removal_rules.h"

#include "removal/inf_scan.h"

namespace {

// Every character counts, spaces included: values are compared whole, only ASCII case is ignored.
constexpr RemovalRule kRemovalRules[] = {
    {PLATFORM_TEXT("Tamrix_Vessa_Driver_Name"), nullptr},
    {PLATFORM_TEXT("DESCR1"),                   PLATFORM_TEXT("Tamrix NXR KLT")},
    {PLATFORM_TEXT("DESCR1"),                   PLATFORM_TEXT("Tamrix PNP")},
    {PLATFORM_TEXT("Dot4_Name"),                PLATFORM_TEXT("IEEE-1284.4 Driver QLDcor08")},
    {PLATFORM_TEXT("Dot4Usb_Name"),             PLATFORM_TEXT("USB Bridge Driver for IEEE-1284.4 QLDusb08")},
    {PLATFORM_TEXT("Dot4Par_Name"),             PLATFORM_TEXT("Parallel Port Bridge Driver for IEEE-1284.4")},
    {PLATFORM_TEXT("Dot4Print_Name"),           PLATFORM_TEXT("IEEE-1284.4 Printing Class Driver QLDprn08")},
    {PLATFORM_TEXT("DeviceDesc"),               PLATFORM_TEXT("QLD IEEE-1284.4 Storage Function Driver V8")},
};

}  // namespace

std::span<const RemovalRule> RemovalRules() { return kRemovalRules; }

int RunRemovalRules(std::span<const RemovalRule> rules) {
  BOOL status = TRUE;
  for (const RemovalRule& rule : rules) {
    // Every rule runs whatever the earlier ones returned: one package that cannot be removed must
    // not keep the others on the machine.
    if (!UninstallMatchingInfs(rule.KeyName, rule.ExpectedValue)) status = FALSE;
  }
  return status ? 0 : -1;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return RunRemovalRules(RemovalRules()); }
