// The names under which the master driver makes itself known: its entry in
// the root process's catalog, the entry it adds under its own process when
// its initialisation is over, and its socket's file name inside its process
// folder. The driver, the client and the launcher must agree on all three.
#pragma once

namespace parvane::common {

inline constexpr char kDriverEntry[] = "PRCS_LOMADYN";
inline constexpr char kEndOfInitEntry[] = "ZU?END_INIT";
inline constexpr char kDriverSocketName[] = "lomadyn.sock";

}  // namespace parvane::common
