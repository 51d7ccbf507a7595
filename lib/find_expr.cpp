// Find-expression compiler and matcher: recursive descent into a Thompson automaton.
//   alternation := sequence ('|' sequence)*
//   sequence    := repeat*
//   repeat      := atom ('*' | '+')*
//   atom        := '(' alternation ')' | '[' ['^'] list ']' | '?' | '\' char | char
#include "find_expr.h"

#include "ascii.h"

namespace kobrant::visa {

namespace {
// Long enough for an alternation of hundreds of full resource names; the automaton has at most
// two states per character, so the bound also bounds its memory (a few megabytes) and the
// work per character of a name matched.
constexpr std::size_t max_expr_length = 64 * 1024;
constexpr int max_depth = 64;  // bounds the parser's recursion on "((((...".

// Checks the attribute filter after a find expression, the text between '{' and the final '}':
//   or     := and ('||' and)*
//   and    := unary ('&&' unary)*
//   unary  := '!' unary | '(' or ')' | VI_ATTR_name op value
//   op     := '==' | '!=' | '<' | '>' | '<=' | '>='
//   value  := ['-'] decimal or 0x-hex number | '"' characters '"'
// Blanks may stand between tokens. Only the syntax is checked: filters are not evaluated.
class filter_checker {
 public:
  explicit filter_checker(std::string_view text) : text_(text) {}

  bool valid() { return either(0) && (skip_blanks(), pos_ == text_.size()); }

 private:
  void skip_blanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }
  bool take(std::string_view token) {
    skip_blanks();
    if (text_.substr(pos_, token.size()) != token) return false;
    pos_ += token.size();
    return true;
  }
  bool either(int depth) {
    if (depth > max_depth || !both(depth)) return false;
    while (take("||"))
      if (!both(depth)) return false;
    return true;
  }
  bool both(int depth) {
    if (!unary(depth)) return false;
    while (take("&&"))
      if (!unary(depth)) return false;
    return true;
  }
  bool unary(int depth) {
    if (depth > max_depth) return false;
    if (take("!")) return unary(depth + 1);
    if (take("(")) return either(depth + 1) && take(")");
    return comparison();
  }
  bool peek_is(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
  bool comparison() {
    skip_blanks();
    if (text_.substr(pos_, 8) != "VI_ATTR_") return false;
    pos_ += 8;
    const std::size_t name_start = pos_;
    while (pos_ < text_.size() && (ascii::is_upper(text_[pos_]) || ascii::is_digit(text_[pos_]) || text_[pos_] == '_'))
      ++pos_;
    if (pos_ == name_start) return false;
    if (!(take("==") || take("!=") || take("<=") || take(">=") || take("<") || take(">"))) return false;
    return value();
  }
  bool value() {
    skip_blanks();
    if (peek_is('"')) {
      const std::size_t close = text_.find('"', pos_ + 1);
      if (close == std::string_view::npos) return false;
      pos_ = close + 1;
      return true;
    }
    if (peek_is('-')) ++pos_;
    int base = 10;
    if (text_.substr(pos_, 2) == "0x" || text_.substr(pos_, 2) == "0X") {
      pos_ += 2;
      base = 16;
    }
    const std::size_t digits_start = pos_;
    while (pos_ < text_.size() && (base == 16 ? ascii::is_xdigit(text_[pos_]) : ascii::is_digit(text_[pos_])))
      ++pos_;
    return pos_ > digits_start;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// Where the attribute filter starts: the first '{' outside an escape, or npos.
std::size_t filter_start(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\') ++i;
    else if (text[i] == '{') return i;
  }
  return std::string_view::npos;
}
}  // namespace

class find_expr_compiler {
 public:
  find_expr_compiler(std::string_view text, find_expr& out) : text_(text), out_(out) {}

  bool compile() {
    fragment f;
    if (!alternation(f, 0) || pos_ != text_.size()) return false;
    int accept = add(find_expr::state::accept);
    patch(f, accept);
    out_.start_ = f.start;
    return true;
  }

 private:
  // A piece of automaton under construction: its entry state and the dangling exits to patch.
  struct fragment {
    int start = -1;
    std::vector<std::pair<int, bool>> holes;  // (state index, whether it is the alt exit)
  };

  int add(find_expr::state::kind_t kind) {
    out_.states_.push_back({});
    out_.states_.back().kind = kind;
    return static_cast<int>(out_.states_.size()) - 1;
  }

  void patch(const fragment& f, int target) {
    for (auto [index, is_alt] : f.holes) {
      if (is_alt) out_.states_[index].alt = target;
      else out_.states_[index].next = target;
    }
  }

  bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  bool alternation(fragment& out, int depth) {
    if (depth > max_depth) return false;
    fragment left;
    if (!sequence(left, depth)) return false;
    while (peek('|')) {
      ++pos_;
      fragment right;
      if (!sequence(right, depth)) return false;
      int s = add(find_expr::state::split);
      out_.states_[s].next = left.start;
      out_.states_[s].alt = right.start;
      left.start = s;
      left.holes.insert(left.holes.end(), right.holes.begin(), right.holes.end());
    }
    out = std::move(left);
    return true;
  }

  bool sequence(fragment& out, int depth) {
    // An empty sequence is an empty-match split whose both exits lead on.
    bool any = false;
    fragment result;
    while (pos_ < text_.size() && !peek('|') && !peek(')')) {
      fragment piece;
      if (!repeat(piece, depth)) return false;
      if (!any) {
        result = std::move(piece);
        any = true;
      } else {
        patch(result, piece.start);
        result.holes = std::move(piece.holes);
      }
    }
    if (!any) {
      int s = add(find_expr::state::split);
      result.start = s;
      result.holes = {{s, false}, {s, true}};
    }
    out = std::move(result);
    return true;
  }

  bool repeat(fragment& out, int depth) {
    if (!atom(out, depth)) return false;
    while (peek('*') || peek('+')) {
      bool star = text_[pos_] == '*';
      ++pos_;
      int s = add(find_expr::state::split);
      out_.states_[s].next = out.start;
      patch(out, s);
      fragment looped;
      looped.start = star ? s : out.start;
      looped.holes = {{s, true}};
      out = std::move(looped);
    }
    return true;
  }

  bool atom(fragment& out, int depth) {
    if (pos_ >= text_.size()) return false;
    char c = text_[pos_++];
    std::bitset<256> set;
    switch (c) {
      case '(': {
        if (!alternation(out, depth + 1) || !peek(')')) return false;
        ++pos_;
        return true;
      }
      case ')': case '*': case '+': case ']':
        return false;
      case '?':
        set.set();
        break;
      case '[':
        if (!char_list(set)) return false;
        break;
      case '\\':
        if (pos_ >= text_.size()) return false;
        add_char(set, text_[pos_++]);
        break;
      default:
        add_char(set, c);
    }
    int s = add(find_expr::state::chars);
    out_.states_[s].set = set;
    out.start = s;
    out.holes = {{s, false}};
    return true;
  }

  // After '[': an optional '^', then characters and ranges up to ']'.
  bool char_list(std::bitset<256>& set) {
    bool negate = peek('^');
    if (negate) ++pos_;
    bool any = false;
    while (pos_ < text_.size() && text_[pos_] != ']') {
      unsigned char lo = static_cast<unsigned char>(text_[pos_++]);
      if (lo == '\\') {
        if (pos_ >= text_.size()) return false;
        lo = static_cast<unsigned char>(text_[pos_++]);
      }
      unsigned char hi = lo;
      if (pos_ + 1 < text_.size() && text_[pos_] == '-' && text_[pos_ + 1] != ']') {
        hi = static_cast<unsigned char>(text_[pos_ + 1]);
        pos_ += 2;
        if (hi < lo) return false;
      }
      for (unsigned v = lo; v <= hi; ++v) add_char(set, static_cast<char>(v));
      any = true;
    }
    if (!peek(']') || !any) return false;
    ++pos_;
    if (negate) set.flip();
    return true;
  }

  static void add_char(std::bitset<256>& set, char c) {
    set.set(static_cast<unsigned char>(c));
    set.set(static_cast<unsigned char>(ascii::to_lower(c)));
    set.set(static_cast<unsigned char>(ascii::to_upper(c)));
  }

  std::string_view text_;
  find_expr& out_;
  std::size_t pos_ = 0;
};

ViStatus find_expr::compile(std::string_view text, find_expr& out) {
  out = find_expr{};
  if (text.empty() || text.size() > max_expr_length) return VI_ERROR_INV_EXPR;
  // An attribute filter follows the first unescaped '{' and runs to a final '}'. The whole
  // expression is checked first, so a malformed one is reported as such, filter or not.
  const std::size_t brace = filter_start(text);
  const std::string_view pattern = text.substr(0, brace);
  bool filter_ok = true;
  if (brace != std::string_view::npos) {
    filter_ok = text.back() == '}' && text.size() - brace > 2 &&
                filter_checker(text.substr(brace + 1, text.size() - brace - 2)).valid();
  }
  find_expr_compiler compiler(pattern, out);
  if (pattern.empty() || !filter_ok || !compiler.compile()) {
    out = find_expr{};
    return VI_ERROR_INV_EXPR;
  }
  if (brace == std::string_view::npos) return VI_SUCCESS;
  out = find_expr{};
  return VI_ERROR_NSUP_OPER;
}

bool find_expr::matches(std::string_view name) const { return run(name, false); }

bool find_expr::may_match_name_starting(std::string_view prefix) const { return run(prefix, true); }

bool find_expr::run(std::string_view name, bool prefix_only) const {
  if (start_ < 0) return false;
  const int count = static_cast<int>(states_.size());
  std::vector<int> current, next;
  std::vector<std::size_t> seen(states_.size(), static_cast<std::size_t>(-1));
  std::vector<int> stack;

  // Adds s and everything reachable from it through splits, once per step.
  auto add_closure = [&](std::vector<int>& list, int s, std::size_t step) {
    stack.assign(1, s);
    while (!stack.empty()) {
      int i = stack.back();
      stack.pop_back();
      if (i < 0 || i >= count || seen[i] == step) continue;
      seen[i] = step;
      if (states_[i].kind == state::split) {
        stack.push_back(states_[i].alt);
        stack.push_back(states_[i].next);
      } else {
        list.push_back(i);
      }
    }
  };

  add_closure(current, start_, 0);
  for (std::size_t step = 0; step < name.size(); ++step) {
    next.clear();
    unsigned char c = static_cast<unsigned char>(name[step]);
    for (int s : current)
      if (states_[s].kind == state::chars && states_[s].set.test(c)) add_closure(next, states_[s].next, step + 1);
    current.swap(next);
    if (current.empty()) return false;
  }
  // Every state of the automaton leads on to the accepting one (bar a list that excludes every
  // byte, "[^\x00-\xFF]"), so states still alive after a prefix mean some name that starts
  // with it matches.
  if (prefix_only) return true;
  for (int s : current)
    if (states_[s].kind == state::accept) return true;
  return false;
}

}  // namespace kobrant::visa
