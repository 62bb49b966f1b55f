#ifndef AGENT_RETENTION_H
#define AGENT_RETENTION_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "agent/set_removal.h"

// Which catalogued sets of one instance a retention rule lets go.
// Stateless; safe from any thread.

struct Retention_Rule {
  // Full physical backups kept, with every set resting on them; 0 lets
  // every physical set go (for an instance no longer registered).
  std::size_t keep_full = 1;
  bool expire_exports = false;
  std::size_t keep_export = 0;  // export sets kept when expire_exports
  std::string pool_uuid;        // when set, only sets stored in this pool count and go
};

// The sets of one instance that the rule expires. `physical` are the
// instance's rows of view "oscar_brcmd" and `exports` its rows of view
// "oscar", each oldest first (catalogue listing order). The newest
// keep_full full backups are kept and so is every set that rests on one of
// them, however it got there: a set belongs to the chain of the full
// backup its recorded links lead to, never by its time. Sets of the older
// chains go, except (as a guard for a backup being made right now on an
// old chain) any that started after the oldest kept full backup, and
// a set whose links lead to no full backup in the catalogue, which no rule
// can place. keep_full 0 expires every physical set. With expire_exports the newest keep_export export sets are
// kept and the older ones go. The answer is in listing order, physical sets
// first.
std::vector<Catalogued_Set> expired_sets(const nlohmann::json& physical, const nlohmann::json& exports,
                                         const Retention_Rule& rule);

#endif
