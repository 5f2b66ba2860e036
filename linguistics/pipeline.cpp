#include "linguistics/pipeline.h"

QLTP_tpc_maintenance& QLTP_linguistics_maintenance() {
  // Registered on first use, before any module fills an entry; channels read
  // the entries only once static initialisation is over.
  static QLTP_tpc_maintenance table{};
  static const bool registered = (QLTP_tpc_register_maintenance(&table), true);
  (void)registered;
  return table;
}
