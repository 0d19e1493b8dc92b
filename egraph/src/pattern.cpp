#include "egraph/pattern.h"

#include <algorithm>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>

#include "support/panic.h"
#include "support/prefetch.h"
#include "egraph/log.h"
#include "search.h"

namespace egraph {

// ---- Compilation ------------------------------------------------------------------------

namespace {

struct Compiler {
  const PatternTerm& t;
  std::vector<std::vector<Symbol>> free;  // per element: sorted distinct variables
  std::vector<std::size_t> size;          // per element: subtree size
  std::vector<std::pair<std::size_t, Reg>> todo;
  Program prog;
  Reg next_out = 1;

  explicit Compiler(const PatternTerm& term) : t(term), free(term.size()), size(term.size()) {
    for (std::size_t i = 0; i < t.size(); ++i) {
      const PatternElem& e = t[i];
      if (e.is_var()) {
        free[i] = {e.sym};
        size[i] = 0;
        continue;
      }
      std::vector<Symbol> vars;
      std::size_t sz = 1;
      for (ClassId c : e.children) {
        if (c >= i) tavrine::panic("pattern child " + std::to_string(c) + " is not before its parent " + std::to_string(i));
        vars.insert(vars.end(), free[c].begin(), free[c].end());
        sz += size[c];
      }
      std::sort(vars.begin(), vars.end());
      vars.erase(std::unique(vars.begin(), vars.end()), vars.end());
      free[i] = std::move(vars);
      size[i] = sz;
    }
  }

  const Reg* reg_of(Symbol v) const {
    for (const auto& [var, reg] : prog.subst) {
      if (var == v) return &reg;
    }
    return nullptr;
  }

  void add_todo(std::size_t pos, Reg reg) {
    const PatternElem& e = t[pos];
    if (!e.is_var()) {
      todo.emplace_back(pos, reg);
    } else if (const Reg* j = reg_of(e.sym)) {
      prog.instructions.push_back(Instruction::compare(reg, *j));
    } else {
      prog.subst.emplace_back(e.sym, reg);
    }
  }

  std::size_t unbound(std::size_t pos) const {
    std::size_t n = 0;
    for (Symbol v : free[pos]) n += reg_of(v) ? 0 : 1;
    return n;
  }

  // The element's subterm as a flat term over registers, equal elements written once.
  std::size_t lookup_term(std::size_t pos, std::vector<LookupElem>& term) const {
    const PatternElem& e = t[pos];
    LookupElem le;
    if (e.is_var()) {
      le.is_reg = true;
      le.reg = *reg_of(e.sym);
    } else {
      le.op = e.sym;
      for (ClassId c : e.children) le.children.push_back(static_cast<ClassId>(lookup_term(c, term)));
    }
    for (std::size_t k = 0; k < term.size(); ++k) {
      if (term[k] == le) return k;
    }
    term.push_back(std::move(le));
    return term.size() - 1;
  }

  Program run() {
    if (t.size() == 0) tavrine::panic("cannot compile an empty pattern");
    add_todo(t.size() - 1, 0);
    while (!todo.empty()) {
      // Largest key: all variables bound first, then more unbound variables, then the
      // smaller subtree; ties go to the entry added first.
      std::size_t best = 0;
      auto key = [&](std::size_t k) {
        const std::size_t pos = todo[k].first;
        const std::size_t ub = unbound(pos);
        return std::tuple<bool, std::size_t, std::ptrdiff_t>(ub == 0, ub, -static_cast<std::ptrdiff_t>(size[pos]));
      };
      auto best_key = key(0);
      for (std::size_t k = 1; k < todo.size(); ++k) {
        auto kk = key(k);
        if (kk > best_key) best = k, best_key = kk;
      }
      const auto [pos, reg] = todo[best];
      todo.erase(todo.begin() + static_cast<std::ptrdiff_t>(best));
      const PatternElem& e = t[pos];
      if (std::get<0>(best_key) && !e.children.empty()) {
        std::vector<LookupElem> term;
        lookup_term(pos, term);
        prog.instructions.push_back(Instruction::lookup(std::move(term), reg));
      } else {
        const Reg out = next_out;
        prog.instructions.push_back(Instruction::bind(e.sym, e.children.size(), reg, out));
        next_out += e.children.size();
        for (std::uint32_t k = 0; k < e.children.size(); ++k) add_todo(e.children[k], out + k);
      }
    }
    return std::move(prog);
  }
};

}  // namespace

Program compile_program(const PatternTerm& term) { return Compiler(term).run(); }

std::ostream& operator<<(std::ostream& os, const Instruction& in) {
  switch (in.kind) {
    case Instruction::Kind::Bind:
      os << "Bind { node: SymbolLang { op: \"" << in.op << "\", children: [";
      for (std::uint32_t k = 0; k < in.arity; ++k) os << (k ? ", 0" : "0");
      return os << "] }, i: " << in.i << ", out: " << in.out << " }";
    case Instruction::Kind::Compare:
      return os << "Compare { i: " << in.i << ", j: " << in.j << " }";
    case Instruction::Kind::Lookup:
      os << "Lookup { term: [";
      for (std::size_t k = 0; k < in.term.size(); ++k) {
        const LookupElem& e = in.term[k];
        os << (k ? ", " : "");
        if (e.is_reg) {
          os << "Reg(" << e.reg << ")";
        } else {
          os << "ENode(" << SymbolLang(e.op, e.children.span()) << ")";
        }
      }
      return os << "], i: " << in.i << " }";
    case Instruction::Kind::Scan:
      return os << "Scan { out: " << in.out << " }";
  }
  return os;
}

std::ostream& operator<<(std::ostream& os, const Program& p) {
  os << "Program { instructions: [";
  for (std::size_t k = 0; k < p.instructions.size(); ++k) os << (k ? ", " : "") << p.instructions[k];
  os << "], subst: {";
  for (std::size_t k = 0; k < p.subst.size(); ++k) os << (k ? ", " : "") << p.subst[k].first << ": " << p.subst[k].second;
  return os << "} }";
}

// ---- Substitutions ------------------------------------------------------------------------

void Subst::insert(Symbol var, ClassId id) {
  for (std::uint32_t k = 0; k < vars_.size(); ++k) {
    if (vars_[k] == var) {
      ids_[k] = id;
      return;
    }
  }
  vars_.push_back(var);
  ids_.push_back(id);
}

std::optional<ClassId> Subst::try_get(Symbol var) const {
  for (std::uint32_t k = 0; k < vars_.size(); ++k) {
    if (vars_[k] == var) return ids_[k];
  }
  return std::nullopt;
}

ClassId Subst::get(Symbol var) const {
  if (auto id = try_get(var)) return *id;
  tavrine::panic("Subst has no binding for " + std::to_string(var.value()));
}

std::ostream& operator<<(std::ostream& os, const Subst& s) {
  os << '{';
  for (std::size_t k = 0; k < s.size(); ++k) os << (k ? ", " : "") << s.vars()[k] << ": " << s.ids()[k];
  return os << '}';
}

Subst MatchSet::subst(std::size_t s) const {
  Subst out;
  const auto r = row(s);
  for (std::size_t k = 0; k < vars.size(); ++k) out.insert(vars[k], r[k]);
  return out;
}

std::vector<SearchMatches> MatchSet::to_search_matches() const {
  std::vector<SearchMatches> out;
  for (std::size_t g = 0; g < classes.size(); ++g) {
    SearchMatches m{classes[g], {}};
    for (std::size_t s = group_begin(g); s < group_end[g]; ++s) m.substs.push_back(subst(s));
    out.push_back(std::move(m));
  }
  return out;
}

// ---- The matching machine -----------------------------------------------------------------

namespace {

// Runs a program against one class at a time, appending substitutions (rows of the
// program's subst registers) to `values` until `remaining` reaches 0.
class Machine {
 public:
  Machine(const EGraph& g, const Program& p, std::vector<ClassId>& values)
      : g_(g), p_(p), values_(values) {}

  // Returns the number of substitutions found in `eclass`, at most `limit`.
  std::size_t run(ClassId eclass, std::size_t limit) {
    remaining_ = limit;
    reg_.clear();
    reg_.push_back(eclass);
    exec(0);
    return limit - remaining_;
  }

 private:
  // True when the limit was reached and everything must unwind.
  bool exec(std::size_t pc) {
    if (pc == p_.instructions.size()) {
      for (const auto& [var, r] : p_.subst) values_.push_back(reg_[r]);
      return --remaining_ == 0;
    }
    const Instruction& in = p_.instructions[pc];
    switch (in.kind) {
      case Instruction::Kind::Bind: {
        const ClassId cls = g_.root_of(reg_[in.i]);
        for (NodeIndex n : g_.class_refs(cls)) {
          if (g_.node_op(n) != in.op) continue;
          const auto kids = g_.node_children(n);
          if (kids.size() != in.arity) continue;
          reg_.resize(in.out);
          reg_.insert(reg_.end(), kids.begin(), kids.end());
          if (exec(pc + 1)) return true;
        }
        return false;
      }
      case Instruction::Kind::Compare:
        if (g_.root_of(reg_[in.i]) != g_.root_of(reg_[in.j])) return false;
        return exec(pc + 1);
      case Instruction::Kind::Lookup: {
        const std::size_t base = lookup_.size();
        bool ok = true;
        for (const LookupElem& e : in.term) {
          if (e.is_reg) {
            lookup_.push_back(g_.root_of(reg_[e.reg]));
            continue;
          }
          IdList kids;
          for (ClassId c : e.children) kids.push_back(lookup_[base + c]);
          const auto found = g_.lookup(e.op, kids.span());
          if (!found) {
            ok = false;
            break;
          }
          lookup_.push_back(*found);
        }
        ok = ok && lookup_.back() == g_.root_of(reg_[in.i]);
        lookup_.resize(base);
        return ok ? exec(pc + 1) : false;
      }
      case Instruction::Kind::Scan:
        for (ClassId id : g_.class_ids()) {
          reg_.resize(in.out);
          reg_.push_back(id);
          if (exec(pc + 1)) return true;
        }
        return false;
    }
    return false;
  }

  const EGraph& g_;
  const Program& p_;
  std::vector<ClassId>& values_;
  std::vector<ClassId> reg_;
  std::vector<ClassId> lookup_;
  std::size_t remaining_ = 0;
};

void require_clean(const EGraph& g) {
  if (!g.is_clean()) tavrine::panic("Tried to search a dirty e-graph!");
}

}  // namespace

constexpr ClassId kNoClass = 0xFFFFFFFFu;

// A substitution's instantiation, prepared a few steps before it is added.
// How far ahead apply fetches: a substitution's children's union-find entries, then its
// roots and hash (and hash-cons slot), the node the slot names, that node's class entry.
constexpr std::size_t kFetch = 32, kPrepare = 16, kNode = 8, kClass = 3;

struct Prepared {
  static constexpr std::size_t kSize = 32;
  static constexpr std::uint32_t kMaxKids = 4;
  ClassId kids[kMaxKids];
  std::uint64_t hash;
  bool present;  // marked present, and its classes were roots when prepared
};

// ---- Pattern ------------------------------------------------------------------------------

namespace {

// Passes texts on to another source and remembers which symbol each became.
class RecordingSource final : public SymbolSource {
 public:
  explicit RecordingSource(SymbolSource& inner) : inner_(inner) {}
  Symbol symbol(std::string_view text) override {
    const Symbol s = inner_.symbol(text);
    for (const auto& [sym, t] : seen) {
      if (sym == s) return s;
    }
    seen.emplace_back(s, std::string(text));
    return s;
  }
  std::vector<std::pair<Symbol, std::string>> seen;

 private:
  SymbolSource& inner_;
};

}  // namespace

tavrine::Expected<Pattern, PatternError> Pattern::parse(std::string_view text, SymbolSource& symbols) {
  RecordingSource recording(symbols);
  auto parsed = parse_pattern_term(text, recording);
  if (!parsed) return tavrine::unexpected(std::move(parsed).error());
  return build(std::move(parsed).value(), std::move(recording.seen));
}

std::string Pattern::symbol_text(Symbol s) const {
  for (const auto& [sym, text] : impl_->texts) {
    if (sym == s) return text;
  }
  return std::to_string(s.value());
}

Pattern Pattern::parse_or_panic(std::string_view text, SymbolSource& symbols) {
  auto parsed = parse(text, symbols);
  if (!parsed) tavrine::panic(parsed.error().debug());
  return std::move(parsed).value();
}

Pattern Pattern::from_term(PatternTerm term) { return build(std::move(term), {}); }

Pattern Pattern::build(PatternTerm term, std::vector<std::pair<Symbol, std::string>> texts) {
  auto impl = std::make_shared<Impl>();
  impl->texts = std::move(texts);
  impl->program = compile_program(term);
  for (const PatternElem& e : term.elems) {
    if (e.is_var() && std::find(impl->vars.begin(), impl->vars.end(), e.sym) == impl->vars.end()) {
      impl->vars.push_back(e.sym);
    }
  }
  impl->term = std::move(term);
  EGRAPH_LOG(Debug, "Compiled " << impl->term << " to " << impl->program);
  return Pattern(std::move(impl));
}

std::vector<Subst> Pattern::run_with_limit(const EGraph& g, ClassId eclass, std::size_t limit) const {
  require_clean(g);
  std::vector<Subst> out;
  if (limit == 0) return out;
  const Program& p = program();
  std::vector<ClassId> values;
  Machine m(g, p, values);
  const std::size_t found = m.run(eclass, limit);
  for (std::size_t s = 0; s < found; ++s) {
    Subst sub;
    for (std::size_t k = 0; k < p.subst.size(); ++k) sub.insert(p.subst[k].first, values[s * p.subst.size() + k]);
    out.push_back(std::move(sub));
  }
  EGRAPH_LOG(Trace, "Ran program, found " << out.size() << " substitutions");
  return out;
}

namespace {

// Candidates: every class (the kind index), in table order. For an e-node root only the
// classes holding a node of its op and arity can match, so when the e-graph indexes that
// operator only those are visited, in the same order. A dirty e-graph fails on the first
// candidate it would run. False when there is nothing to visit; `all` holds the classes
// `candidates` reads when they are not the index.
bool search_candidates(const EGraph& g, const PatternElem& root, std::vector<ClassId>& all,
                       std::span<const ClassId>& candidates) {
  const std::vector<ClassId>* indexed = nullptr;
  if (root.is_var()) {
    if (g.number_of_classes() > 0) require_clean(g);
  } else {
    if (g.kind_index_nonempty()) require_clean(g);
    if (!g.is_clean()) return false;  // no kind index yet: nothing to visit
    indexed = g.indexed_classes(root.sym, root.children.size());
  }
  if (indexed) {
    candidates = *indexed;
  } else {
    all = g.class_ids();
    candidates = all;
  }
  return true;
}

// A program that is one Bind of the searched class, its variables all distinct children
// of the bound node (the commute and identity searchers), runs without the machine.
class DirectBind {
 public:
  DirectBind(const EGraph& g, const Program& p, MatchSet& ms) : g_(g), p_(p), ms_(ms) {}

  // Whether the program is such a Bind.
  bool fits() {
    bool direct = p_.instructions.size() == 1 && p_.instructions[0].kind == Instruction::Kind::Bind &&
                  p_.instructions[0].i == 0;
    if (!direct) return false;
    const Instruction& bind = p_.instructions[0];
    for (const auto& [var, reg] : p_.subst) {
      direct &= reg >= bind.out && reg - bind.out < bind.arity;
      child_of_var_.push_back(reg - bind.out);
    }
    return direct;
  }
  // The applier's instantiation of a row, when it is one e-node over variables or a lone
  // variable: which of the bound node's children each of its children (or it) is. Whether
  // it is, and so whether rows are marked present.
  bool probe(const PatternTerm& at);
  // Matches class `id`, whose nodes are `refs`, up to `limit_here` rows.
  std::size_t run(ClassId id, std::span<const NodeIndex> refs, std::size_t limit_here);

 private:
  bool bound_child(const PatternElem& e, std::uint32_t& out) const {
    for (std::size_t v = 0; v < p_.subst.size(); ++v) {
      if (p_.subst[v].first == e.sym) {
        out = child_of_var_[v];
        return true;
      }
    }
    return false;
  }
  // Whether the instantiation of the row of node `kids` of class `id` is in that class.
  [[gnu::always_inline]] inline bool instance_here(ClassId id, std::span<const ClassId> kids,
                                                  std::span<const NodeIndex> refs) const;

  const EGraph& g_;
  const Program& p_;
  MatchSet& ms_;
  std::vector<std::uint32_t> child_of_var_;
  enum class Probe { kNone, kNode, kVar } probe_ = Probe::kNone;
  Symbol inst_op_;
  std::uint32_t inst_kids_[4];
  std::uint32_t inst_arity_ = 0;
};

bool DirectBind::probe(const PatternTerm& at) {
  const PatternElem& aroot = at.root();
  if (aroot.is_var()) {
    if (bound_child(aroot, inst_kids_[0])) probe_ = Probe::kVar;
  } else if (aroot.children.size() <= 4) {
    bool ok = true;
    for (std::size_t k = 0; ok && k < aroot.children.size(); ++k) {
      const PatternElem& c = at[aroot.children[k]];
      ok = c.is_var() && bound_child(c, inst_kids_[k]);
    }
    if (ok) {
      probe_ = Probe::kNode;
      inst_op_ = aroot.sym;
      inst_arity_ = static_cast<std::uint32_t>(aroot.children.size());
    }
  }
  return probe_ != Probe::kNone;
}

inline bool DirectBind::instance_here(ClassId id, std::span<const ClassId> kids, std::span<const NodeIndex> refs) const {
  if (probe_ == Probe::kVar) return kids[inst_kids_[0]] == id;
  // Nodes of a clean e-graph are rooted, so the instantiation is in this class exactly
  // when one of its nodes equals it.
  ClassId want[4];
  for (std::uint32_t k = 0; k < inst_arity_; ++k) want[k] = kids[inst_kids_[k]];
  if (refs.size() == 1) {
    // The usual class of one node: it is the node just matched.
    return inst_op_ == p_.instructions[0].op && same_children(kids, {want, inst_arity_});
  }
  for (NodeIndex m : refs) {
    const auto mk = g_.node_children(m);
    if (g_.node_op(m) == inst_op_ && same_children(mk, {want, inst_arity_})) return true;
  }
  return false;
}

std::size_t DirectBind::run(ClassId id, std::span<const NodeIndex> refs, std::size_t limit_here) {
  const Instruction& bind = p_.instructions[0];
  const EGraph& g = g_;
  auto& values = ms_.values;
  auto& present = ms_.present;
  std::size_t found = 0;
  for (NodeIndex n : refs) {
    if (g.node_op(n) != bind.op) continue;
    const auto kids = g.node_children(n);
    if (kids.size() != bind.arity) continue;
    for (std::uint32_t k : child_of_var_) values.push_back(kids[k]);
    if (probe_ != Probe::kNone) present.push_back(instance_here(id, kids, refs));
    if (++found == limit_here) break;
  }
  return found;
}

}  // namespace

MatchSet search::run(const EGraph& g, const Pattern& pattern, std::size_t limit, const Deadline* deadline,
                     const PatternTerm* applier, const void* applier_key, Matcher matcher) {
  const Program& p = pattern.program();
  MatchSet ms;
  for (const auto& [var, reg] : p.subst) ms.vars.push_back(var);
  if (limit == 0) return ms;
  std::vector<ClassId> all;
  std::span<const ClassId> candidates;
  if (!search_candidates(g, pattern.term().root(), all, candidates)) return ms;

  Machine m(g, p, ms.values);
  DirectBind direct_bind(g, p, ms);
  const bool direct = matcher == Matcher::kFastest && direct_bind.fits();
  if (direct && applier != nullptr && direct_bind.probe(*applier)) ms.present_for = applier_key;
  DeadlineCheck check(deadline);
  std::size_t remaining = limit;
  // The root Bind reads the class's node list, its nodes and their children: fetched a few
  // candidates ahead.
  auto fetch_class = [&](int hop) {
    return [&g, &candidates, hop](std::size_t ci) { g.prefetch_class(candidates[ci], hop); };
  };
  tavrine::visit_ascending_while(
      std::size_t{0}, candidates.size(),
      [&](std::size_t ci) {
        if (remaining == 0) return false;
        if (check.tick()) {
          ms.timed_out = true;
          return false;
        }
        // Candidates are roots (the index, or the class ids of a clean e-graph).
        const ClassId id = candidates[ci];
        NodeIndex self;
        const std::size_t k = direct ? direct_bind.run(id, g.root_refs(id, self), remaining) : m.run(id, remaining);
        if (k == 0) return true;
        if (k > remaining) tavrine::panic("assertion failed: len <= limit");
        remaining -= k;
        ms.classes.push_back(id);
        ms.group_end.push_back(static_cast<std::uint32_t>(limit - remaining));
        return true;
      },
      tavrine::FetchAhead{16, fetch_class(0)}, tavrine::FetchAhead{8, fetch_class(1)},
      tavrine::FetchAhead{3, fetch_class(2)});
  return ms;
}

MatchSet Pattern::search_with_limit(const EGraph& g, std::size_t limit, const Deadline* deadline,
                                    const Pattern* applier) const {
  if (applier == nullptr) return search::run(g, *this, limit, deadline, nullptr, nullptr, search::Matcher::kFastest);
  return search::run(g, *this, limit, deadline, &applier->term(), applier->impl_.get(), search::Matcher::kFastest);
}

namespace {

// The rows of a match set being applied, and what applying them leaves: the instantiations
// that merged something, and the class of a row skipped for being there already.
class RowApplier {
 public:
  RowApplier(EGraph& g, const MatchSet& matches, bool marked, const Deadline* deadline)
      : g_(g), matches_(matches), marked_(marked), check_(deadline) {}

  // The usual right-hand side: one e-node `root` over variables. Each substitution's
  // rooted children and hash are computed once, a few steps ahead, and the memory its
  // add and union will touch is fetched in hops on the way. False when the check stops it.
  bool one_node(const PatternElem& root, std::span<const std::size_t> var_col);
  // Any other right-hand side, term `t`, built element by element (`flat`: a lone
  // variable). False when the check stops it.
  bool any_term(const PatternTerm& t, std::span<const std::size_t> var_col, bool flat);

  std::vector<ClassId> result;
  // A skipped row's union would have merged nothing but still left the e-graph dirty
  // (kNoClass: no row skipped).
  ClassId skipped = kNoClass;

 private:
  // Rows whose instantiation the search found in the matched class already.
  bool present(std::size_t s) const { return marked_ && matches_.present[s] != 0; }
  // The class row s matched, `grp` a cursor moving forward with s.
  ClassId class_of(std::size_t s, std::size_t& grp) const {
    while (matches_.group_end[grp] <= s) ++grp;
    return matches_.classes[grp];
  }

  EGraph& g_;
  const MatchSet& matches_;
  bool marked_;
  DeadlineCheck check_;
};

bool RowApplier::one_node(const PatternElem& root, std::span<const std::size_t> var_col) {
  EGraph& g = g_;
  const MatchSet& matches = matches_;
  const std::size_t total = matches.total();
  const std::uint32_t arity = root.children.size();
  std::size_t cols[Prepared::kMaxKids];
  for (std::uint32_t k = 0; k < arity; ++k) cols[k] = var_col[root.children[k]];
  tavrine::AheadRing<Prepared, Prepared::kSize> ring;
  std::size_t grp_far = 0, grp_near = 0, grp_class = 0, grp = 0;
  auto fetch_children = [&](std::size_t s) {  // union-find entries
    const auto row = matches.row(s);
    for (std::uint32_t k = 0; k < arity; ++k) g.prefetch_union(row[cols[k]], class_of(s, grp_far), 0);
  };
  auto prepare = [&](std::size_t s) {  // rooted children and hash
    Prepared& a = ring[s];
    const auto row = matches.row(s);
    a.present = present(s);
    for (std::uint32_t k = 0; k < arity; ++k) {
      a.kids[k] = g.root_of(row[cols[k]]);
      a.present &= a.kids[k] == row[cols[k]];
    }
    const ClassId eclass = class_of(s, grp_near);
    if (a.present) return;
    a.hash = hash_enode(root.sym, {a.kids, arity});
    g.prefetch_add(a.hash, 0);
    g.prefetch_union(kNoClass, eclass, 1);
  };
  auto fetch_node = [&](std::size_t s) {
    // A node the hash-cons lacks will be new: it links itself into its children's parent
    // lists.
    const Prepared& a = ring[s];
    if (!a.present && !g.prefetch_add(a.hash, 1)) {
      for (std::uint32_t k = 0; k < arity; ++k) g.prefetch_union(a.kids[k], kNoClass, 1);
    }
  };
  auto fetch_class = [&](std::size_t s) {
    if (ring[s].present) return;
    g.prefetch_add(ring[s].hash, 2);
    g.prefetch_union(kNoClass, class_of(s, grp_class), 2);
  };
  auto add_row = [&](std::size_t s) {
    if (check_.tick()) return false;
    const Prepared& a = ring[s];
    const ClassId eclass = class_of(s, grp);
    // Unions since the children were read may have moved a root: then add finds afresh.
    bool roots = true;
    for (std::uint32_t k = 0; k < arity; ++k) roots &= g.is_root(a.kids[k]);
    if (a.present && roots) {
      // The instantiation is a node of the matched class, with the same children.
      skipped = eclass;
      return true;
    }
    const ClassId inst = roots ? g.add_rooted(root.sym, {a.kids, arity}, a.hash) : g.add(root.sym, {a.kids, arity});
    EGRAPH_LOG(Trace, "adding: " << SymbolLang(root.sym, {a.kids, arity}));
    if (g.union_classes(inst, eclass)) result.push_back(inst);
    return true;
  };
  return tavrine::visit_ascending_while(std::size_t{0}, total, add_row, tavrine::FetchAhead{kFetch, fetch_children},
                                        tavrine::FetchAhead{kPrepare, prepare}, tavrine::FetchAhead{kNode, fetch_node},
                                        tavrine::FetchAhead{kClass, fetch_class}) == total;
}

bool RowApplier::any_term(const PatternTerm& t, std::span<const std::size_t> var_col, bool flat) {
  const MatchSet& matches = matches_;
  const std::size_t total = matches.total();
  std::vector<ClassId> ids(t.size());
  IdList kids;
  // A lone variable: only the union's memory is fetched ahead.
  std::size_t grp_ahead[3] = {0, 0, 0};
  auto fetch_union = [&](int hop) {
    return [&, hop](std::size_t a) {
      if (flat && !present(a)) {
        g_.prefetch_union(matches.row(a)[var_col[t.size() - 1]], class_of(a, grp_ahead[hop]), hop);
      }
    };
  };
  std::size_t grp = 0;
  auto add_row = [&](std::size_t s) {
    if (check_.tick()) return false;
    const ClassId eclass = class_of(s, grp);
    if (flat && present(s)) {
      // The variable's class is the matched class: the union would merge nothing.
      skipped = eclass;
      return true;
    }
    const auto row = matches.row(s);
    for (std::size_t i = 0; i < t.size(); ++i) {
      const PatternElem& e = t[i];
      if (e.is_var()) {
        ids[i] = row[var_col[i]];
        continue;
      }
      kids.clear();
      for (ClassId c : e.children) kids.push_back(ids[c]);
      ids[i] = g_.add(e.sym, kids.span());
      EGRAPH_LOG(Trace, "adding: " << SymbolLang(e.sym, kids.span()));
    }
    const ClassId inst = ids.back();
    if (g_.union_classes(inst, eclass)) result.push_back(inst);
    return true;
  };
  return tavrine::visit_ascending_while(std::size_t{0}, total, add_row, tavrine::FetchAhead{12, fetch_union(0)},
                                        tavrine::FetchAhead{6, fetch_union(1)},
                                        tavrine::FetchAhead{2, fetch_union(2)}) == total;
}

}  // namespace

std::vector<ClassId> Pattern::apply_matches(EGraph& g, const MatchSet& matches, Symbol rule_name,
                                            const Deadline* deadline) const {
  if (matches.total() == 0) return {};
  const PatternTerm& t = term();
  // Where each variable element finds its class in a match row.
  std::vector<std::size_t> var_col(t.size(), 0);
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (!t[i].is_var()) continue;
    const auto it = std::find(matches.vars.begin(), matches.vars.end(), t[i].sym);
    if (it == matches.vars.end()) tavrine::panic("Subst has no binding for " + symbol_text(t[i].sym));
    var_col[i] = static_cast<std::size_t>(it - matches.vars.begin());
  }
  const PatternElem& root = t.root();
  bool flat = true;
  for (std::size_t i = 0; flat && i + 1 < t.size(); ++i) flat = t[i].is_var();
  const bool marked = matches.present_for == impl_.get() && matches.present.size() == matches.total();
  RowApplier rows(g, matches, marked, deadline);
  const bool done = flat && !root.is_var() && root.children.size() <= Prepared::kMaxKids ? rows.one_node(root, var_col)
                                                                                        : rows.any_term(t, var_col, flat);
  if (!done) return std::move(rows.result);
  if (rows.skipped != kNoClass) g.union_classes(rows.skipped, rows.skipped);
  (void)rule_name;
  EGRAPH_LOG(Trace, "apply_rec " << *this << " for rule " << rule_name);
  return std::move(rows.result);
}

std::ostream& operator<<(std::ostream& os, const Pattern& p) { return os << p.term(); }

}  // namespace egraph
