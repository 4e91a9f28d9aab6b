// KORVA: the page refresher.
#include "refresher/layout.h"
#include "refresher/refresher.h"
#include "runtime/win32/app.h"

int main() {
  rt::win32::Initialise();
  refresher::CreateState();
  rt::win32::AtCleanup(refresher::CleanUp);
  return rt::win32::RunWindow(refresher::kLayout, refresher::Bindings());
}
