// update: downloads a new package of the refresher, installs it and starts the refresher again.
#include "runtime/win32/app.h"
#include "updater/layout.h"
#include "updater/updater.h"

int main() {
  rt::win32::Initialise();
  updater::CreateState();
  rt::win32::AtCleanup(updater::CleanUp);
  return rt::win32::RunWindow(updater::kLayout, updater::Bindings());
}
