// viFindRsrc search expressions: VISA's small regular-expression language, matched against the
// whole resource name without regard to case.
#pragma once

#include <kobrant/visa.h>

#include <bitset>
#include <memory>
#include <string_view>
#include <vector>

namespace kobrant::visa {

// A compiled expression. Matching runs the states side by side (no backtracking), so its time is
// linear in the name's length whatever the expression: a caller's expression cannot stall a search.
class find_expr {
 public:
  // VI_SUCCESS and a usable expression; VI_ERROR_INV_EXPR for a malformed one (an attribute
  // filter included) or one longer than 64 KiB; VI_ERROR_NSUP_OPER for a well-formed attribute
  // filter ("expr{VI_ATTR_...==...}"), which this library does not evaluate.
  static ViStatus compile(std::string_view text, find_expr& out);

  bool matches(std::string_view name) const;
  // Whether some name that starts with prefix could match: a search that cannot match a kind
  // of resource need not look for it.
  bool may_match_name_starting(std::string_view prefix) const;

 private:
  struct state {
    enum kind_t { chars, split, accept } kind = accept;
    std::bitset<256> set;  // for chars
    int next = -1;         // chars, split
    int alt = -1;          // split
  };
  bool run(std::string_view name, bool prefix_only) const;

  std::vector<state> states_;
  int start_ = -1;

  friend class find_expr_compiler;
};

}  // namespace kobrant::visa
