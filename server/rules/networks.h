#pragma once

// The networks an address belongs to, as keys that budgets count under.

#include <string>
#include <vector>

namespace belfry {

// `key` (an IPv4 address, or an IPv6 /64 as "2001:db8::/64") followed by
// one entry for each of BudgetNestings: its network as "network/bits", or
// empty where the nesting is of the other family or `key` is no address.
std::vector<std::string> networksOf(const std::string &key);

}  // namespace belfry
