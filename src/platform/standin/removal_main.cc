// Start-up of the Linux build: what the Windows C runtime does before it calls wWinMain.
#include "removal/removal_rules.h"

int main() {
  // The run's -1 leaves the process as exit status 255, the low byte that Linux keeps.
  return wWinMain(nullptr, nullptr, nullptr, 0);
}
