#include "linguistics/pipeline.h"

QLTP_tpc_maintenance& QLTP_linguistics_maintenance() {
  // Registered once, before any module fills an entry; channels read the
  // entries only after static initialisation has finished.
  static QLTP_tpc_maintenance table = [] {
    QLTP_tpc_maintenance t{};
    return t;
  }();
  static const bool registered = (QLTP_tpc_register_maintenance(&table), true);
  (void)registered;
  return table;
}
