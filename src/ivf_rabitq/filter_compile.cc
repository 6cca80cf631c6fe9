// FilterNode tree -> branch program over the typed columns.
//
// Each field condition is resolved once against the segment's schema:
//  - a numeric column compares its f64 cell;
//  - a string column tests the cell's dictionary code against the set of
//    codes whose decoded key satisfies the test, worked out here;
//  - a field the schema does not know is absent from every row, so its
//    condition folds to a constant, unless the schema is full and later
//    fields have no column: those read the row's JSON text.
// Constants are folded through AND, OR and NOT before the program is laid
// out, so "{}" and trivially true trees accept every row without a step.
#include <algorithm>
#include <charconv>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "ivf_rabitq/filter_program.h"

namespace nimbrel {
namespace filter {
namespace {

using nlohmann::json;

// A filter tree after resolution, with constants folded away.
struct Expr {
  enum class Kind : uint8_t { kTrue, kFalse, kStep, kAnd, kOr, kNot };
  explicit Expr(Kind k) : kind(k) {}
  Kind kind;
  uint32_t step = 0;  // kStep: index into the step templates
  std::vector<Expr> kids;
};

Expr constant(bool value) { return Expr(value ? Expr::Kind::kTrue : Expr::Kind::kFalse); }

Expr fold_junction(Expr::Kind kind, std::vector<Expr> kids) {
  const Expr::Kind absorbing = kind == Expr::Kind::kAnd ? Expr::Kind::kFalse : Expr::Kind::kTrue;
  const Expr::Kind neutral = kind == Expr::Kind::kAnd ? Expr::Kind::kTrue : Expr::Kind::kFalse;
  Expr out{kind};
  for (Expr& kid : kids) {
    if (kid.kind == absorbing) return kid;
    if (kid.kind == neutral) continue;
    if (kid.kind == kind) {
      for (Expr& grandkid : kid.kids) out.kids.push_back(std::move(grandkid));
    } else {
      out.kids.push_back(std::move(kid));
    }
  }
  if (out.kids.empty()) return Expr(neutral);
  if (out.kids.size() == 1) return std::move(out.kids[0]);
  return out;
}

Expr fold_not(Expr kid) {
  if (kid.kind == Expr::Kind::kTrue) return constant(false);
  if (kid.kind == Expr::Kind::kFalse) return constant(true);
  if (kid.kind == Expr::Kind::kNot) return std::move(kid.kids[0]);
  Expr out{Expr::Kind::kNot};
  out.kids.push_back(std::move(kid));
  return out;
}

bool is_own_key(const std::string& s) {
  return s.empty() || (s[0] != '\x01' && s[0] != '\x02' && s[0] != '\x03');
}

// Whether `text` is a JSON number: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_json_number(std::string_view text) {
  size_t i = 0;
  auto digits = [&] {
    const size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i > start;
  };
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == text.size();
}

// predicate::dict_key_value, with a shortcut for the commonest marked
// key, a number: a field that mixes many numbers with a few strings has
// one such key per distinct number. Only the f64 value matters to tests.
json decode_key(const std::string& key) {
  if (key.size() > 1 && key[0] == '\x02') {
    const std::string_view rest = std::string_view(key).substr(1);
    double x;
    if (is_json_number(rest)) {
      auto [end, err] = std::from_chars(rest.data(), rest.data() + rest.size(), x);
      if (err == std::errc() && end == rest.data() + rest.size()) return json(x);
    }
  }
  return predicate::dict_key_value(key);
}

// Where a field's values live.
struct FieldPlace {
  enum class Kind : uint8_t { kStringColumn, kNumericColumn };
  Kind kind;
  uint32_t column;
  const FieldSchema* schema;
};

// A code bitmap costs one load per row but memory in proportion to the
// largest code; it is used while it stays within a few times the list.
constexpr uint64_t kBitmapSlackWords = 1024;

class Compiler {
 public:
  Compiler(const std::vector<FieldSchema>& fields, const std::set<std::string>& skip,
           CompiledFilter* out)
      : skip_(skip), out_(out) {
    uint32_t n_str = 0, n_num = 0;
    for (const FieldSchema& f : fields) {
      const bool numeric = f.numeric;
      const FieldPlace place{numeric ? FieldPlace::Kind::kNumericColumn : FieldPlace::Kind::kStringColumn,
                             numeric ? n_num++ : n_str++, &f};
      place_of_.emplace(f.name, place);  // a repeated name keeps its first column
    }
    // Once the schema is full, fields past it exist in rows without a
    // column. Skipped names may have taken places too, so count them.
    schema_is_full_ = fields.size() + skip.size() >= kMaxTypedFields;
  }

  Result<Expr> compile(const FilterNode& node) {
    switch (node.kind) {
      case FilterNode::Kind::kAnd:
      case FilterNode::Kind::kOr: {
        std::vector<Expr> kids;
        kids.reserve(node.children.size());
        for (const FilterNode& child : node.children) {
          NIMBREL_ASSIGN_OR_RETURN(Expr kid, compile(child));
          kids.push_back(std::move(kid));
        }
        return fold_junction(node.kind == FilterNode::Kind::kAnd ? Expr::Kind::kAnd : Expr::Kind::kOr,
                             std::move(kids));
      }
      case FilterNode::Kind::kNot: {
        NIMBREL_ASSIGN_OR_RETURN(Expr kid, compile(node.children[0]));
        return fold_not(std::move(kid));
      }
      case FilterNode::Kind::kField:
        return compile_condition(node.condition);
    }
    return constant(false);
  }

  // Lays the program out so that `e` jumps to on_true / on_false.
  int32_t emit(const Expr& e, int32_t on_true, int32_t on_false) {
    switch (e.kind) {
      case Expr::Kind::kTrue: return on_true;
      case Expr::Kind::kFalse: return on_false;
      case Expr::Kind::kNot: return emit(e.kids[0], on_false, on_true);
      case Expr::Kind::kAnd: {
        int32_t next = on_true;
        for (auto it = e.kids.rbegin(); it != e.kids.rend(); ++it) next = emit(*it, next, on_false);
        return next;
      }
      case Expr::Kind::kOr: {
        int32_t next = on_false;
        for (auto it = e.kids.rbegin(); it != e.kids.rend(); ++it) next = emit(*it, on_true, next);
        return next;
      }
      case Expr::Kind::kStep: {
        Step step = templates_[e.step];
        step.on_true = on_true;
        step.on_false = on_false;
        out_->steps_.push_back(step);
        return static_cast<int32_t>(out_->steps_.size() - 1);
      }
    }
    return on_false;
  }

 private:
  Result<Expr> compile_condition(const FieldCondition& condition) {
    if (skip_.count(condition.field) != 0) {
      return Status::InvalidArgument("filter field '" + condition.field + "' is not indexed (skip_index)");
    }
    auto found = place_of_.find(condition.field);
    if (found == place_of_.end()) {
      if (condition.tests.empty() || !schema_is_full_) {
        return constant(condition_holds(condition, nullptr));
      }
      Step step;
      step.kind = StepKind::kJson;
      step.first = static_cast<uint32_t>(out_->json_conditions_.size());
      out_->json_conditions_.push_back(condition);
      return add_step(step);
    }
    std::vector<Expr> tests;
    for (const FieldTest& test : condition.tests) {
      tests.push_back(found->second.kind == FieldPlace::Kind::kNumericColumn
                          ? numeric_test(found->second.column, test)
                          : string_test(found->second, test));
    }
    return fold_junction(Expr::Kind::kAnd, std::move(tests));
  }

  Expr add_step(const Step& step) {
    Expr e{Expr::Kind::kStep};
    e.step = static_cast<uint32_t>(templates_.size());
    templates_.push_back(step);
    return e;
  }

  Expr numeric_test(uint32_t column, const FieldTest& test) {
    Step step;
    step.column = column;
    step.no_value = holds_without_value(test);
    switch (test.op) {
      case TestOp::kExists:
        step.kind = StepKind::kNumHasValue;
        return add_step(step);
      case TestOp::kIn:
      case TestOp::kNotIn:
        // Only the numbers of the set can equal a numeric cell.
        if (test.set.numbers.empty()) return constant(test.op == TestOp::kNotIn);
        step.kind = StepKind::kNumList;
        step.negate = test.op == TestOp::kNotIn;
        step.first = static_cast<uint32_t>(out_->numbers_.size());
        step.count = static_cast<uint32_t>(test.set.numbers.size());
        out_->numbers_.insert(out_->numbers_.end(), test.set.numbers.begin(), test.set.numbers.end());
        return add_step(step);
      default:
        step.kind = StepKind::kNumRange;
        step.range_op = test.op;
        step.bound = test.bound;
        return add_step(step);
    }
  }

  Expr string_test(const FieldPlace& place, const FieldTest& test) {
    Step step;
    step.column = place.column;
    step.no_value = holds_without_value(test);
    std::vector<uint32_t> codes;
    if (test.op == TestOp::kExists) {
      // Only a key that decodes to null (never written, but a key can say
      // so) makes a present code mean "no value".
      for (const auto& [code, value] : marked_keys(place.schema)) {
        if (value.is_null()) codes.push_back(code);
      }
      if (codes.empty()) {
        step.kind = StepKind::kStrHasValue;
        return add_step(step);
      }
      step.negate = test.want;
      lay_out_codes(sorted_unique(std::move(codes)), &step);
      return add_step(step);
    }
    const bool is_membership = test.op == TestOp::kIn || test.op == TestOp::kNotIn;
    if (is_membership) {
      // A key that is the string itself is found directly; every other key
      // that can decode to a string, boolean or number carries a type mark.
      for (const std::string& s : test.set.strings) {
        if (!is_own_key(s)) continue;
        auto it = place.schema->dict.find(s);
        if (it != place.schema->dict.end()) codes.push_back(it->second);
      }
    }
    for (const auto& [code, value] : marked_keys(place.schema)) {
      const bool holds = is_membership ? test.set.contains(value)
                                       : value.is_number() && range_holds(test.op, value.get<double>(), test.bound);
      if (holds) codes.push_back(code);
    }
    codes = sorted_unique(std::move(codes));
    if (codes.empty()) return constant(step.no_value);
    step.negate = test.op == TestOp::kNotIn;
    lay_out_codes(codes, &step);
    return add_step(step);
  }

  static std::vector<uint32_t> sorted_unique(std::vector<uint32_t> codes) {
    std::sort(codes.begin(), codes.end());
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    return codes;
  }

  void lay_out_codes(const std::vector<uint32_t>& codes, Step* step) {
    const uint64_t words = uint64_t{codes.back()} / 64 + 1;
    if (codes.size() > 8 && words <= codes.size() + kBitmapSlackWords) {
      step->kind = StepKind::kStrCodeBits;
      step->first = static_cast<uint32_t>(out_->bits_.size());
      step->count = static_cast<uint32_t>(words);
      out_->bits_.resize(out_->bits_.size() + words, 0);
      uint64_t* bits = out_->bits_.data() + step->first;
      for (uint32_t code : codes) bits[code / 64] |= uint64_t{1} << (code % 64);
    } else {
      step->kind = StepKind::kStrCodeList;
      step->first = static_cast<uint32_t>(out_->codes_.size());
      step->count = static_cast<uint32_t>(codes.size());
      out_->codes_.insert(out_->codes_.end(), codes.begin(), codes.end());
    }
  }

  // The decoded values of a field's keys that start with a type mark
  // (U+0001..U+0003): booleans, numbers, composites and escaped strings.
  // Keys sort bytewise, so they form one range of the dictionary; decoded
  // once per field and compilation.
  const std::vector<std::pair<uint32_t, json>>& marked_keys(const FieldSchema* schema) {
    auto [it, inserted] = marked_keys_.try_emplace(schema);
    if (inserted) {
      const auto& dict = schema->dict;
      for (auto k = dict.lower_bound(std::string(1, '\x01'));
           k != dict.end() && static_cast<unsigned char>(k->first[0]) <= 0x03; ++k) {
        it->second.emplace_back(k->second, decode_key(k->first));
      }
    }
    return it->second;
  }

  const std::set<std::string>& skip_;
  CompiledFilter* out_;
  std::unordered_map<std::string_view, FieldPlace> place_of_;
  bool schema_is_full_ = false;
  std::vector<Step> templates_;
  std::unordered_map<const FieldSchema*, std::vector<std::pair<uint32_t, json>>> marked_keys_;
};

}  // namespace
}  // namespace filter

Result<std::shared_ptr<const Predicate>> compile_filter(std::string_view text,
                                                        const std::vector<FieldSchema>& fields,
                                                        const std::set<std::string>& skip) {
  try {
    NIMBREL_ASSIGN_OR_RETURN(filter::FilterNode root, filter::parse_filter(text));
    auto program = std::make_shared<filter::CompiledFilter>();
    filter::Compiler compiler(fields, skip, program.get());
    NIMBREL_ASSIGN_OR_RETURN(filter::Expr expr, compiler.compile(root));
    program->entry_ = compiler.emit(expr, filter::kAccept, filter::kReject);
    return std::shared_ptr<const Predicate>(std::move(program));
  } catch (const std::exception& e) {
    // Only allocation can throw here.
    return Status(Code::kIoError, std::string("filter compilation failed: ") + e.what());
  }
}

}  // namespace nimbrel
