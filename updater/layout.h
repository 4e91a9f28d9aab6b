// The updater's window: its layout rows.
#pragma once
#include "runtime/layout.h"

namespace updater {

extern const rt::Layout kLayout;

}  // namespace updater
