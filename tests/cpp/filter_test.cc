#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ivf_rabitq/field_schema.h"
#include "ivf_rabitq/filter_program.h"
#include "ivf_rabitq/kernels.h"
#include "ivf_rabitq/predicate.h"

namespace nimbrel {
namespace {

using nlohmann::json;

// ---------------------------------------------------------------------------
// A direct evaluator of the filter language over metadata values: the
// definition the compiled filters must agree with.

bool scalar_equal(const json& value, const json& operand) {
  if (value.is_number() && operand.is_number()) return value.get<double>() == operand.get<double>();
  if (value.is_string() && operand.is_string()) return value == operand;
  if (value.is_boolean() && operand.is_boolean()) return value == operand;
  return false;  // null equals nothing; arrays and objects equal no scalar
}

bool op_holds(const std::string& op, const json& operand, const json* value) {
  const bool has = value != nullptr && !value->is_null();
  if (op == "$exists") return has == operand.get<bool>();
  if (op == "$eq") return has && scalar_equal(*value, operand);
  if (op == "$ne") return !(has && scalar_equal(*value, operand));
  if (op == "$in" || op == "$nin") {
    bool any = false;
    for (const json& x : operand) any = any || (has && scalar_equal(*value, x));
    return op == "$in" ? any : !any;
  }
  if (!has || !value->is_number()) return false;
  const double v = value->get<double>(), b = operand.get<double>();
  if (op == "$gt") return v > b;
  if (op == "$gte") return v >= b;
  if (op == "$lt") return v < b;
  return v <= b;
}

bool reference_eval(const json& filter, const json& meta) {
  for (auto it = filter.begin(); it != filter.end(); ++it) {
    const std::string& key = it.key();
    bool holds = key != "$or";
    if (key == "$and" || key == "$or") {
      for (const json& f : it.value()) {
        holds = key == "$and" ? holds && reference_eval(f, meta) : holds || reference_eval(f, meta);
      }
    } else if (key == "$not") {
      holds = !reference_eval(it.value(), meta);
    } else {
      const json* value = meta.is_object() && meta.contains(key) ? &meta.at(key) : nullptr;
      if (!it.value().is_object()) holds = op_holds("$eq", it.value(), value);
      for (auto op = it.value().begin(); it.value().is_object() && op != it.value().end(); ++op) {
        holds = holds && op_holds(op.key(), op.value(), value);
      }
    }
    if (!holds) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Rows as a segment would present them: typed columns plus JSON texts.

struct Rows {
  std::vector<json> metas;
  std::vector<std::string> texts;
  TypedColumns columns;
  RowSource source;

  Rows(std::vector<json> m, const std::set<std::string>& skip) : metas(std::move(m)) {
    std::vector<const json*> ptrs;
    for (const json& r : metas) {
      ptrs.push_back(&r);
      texts.push_back(r.dump());
    }
    columns = build_typed_columns(ptrs, skip);
    for (auto& c : columns.str) source.str.push_back(c.data());
    for (auto& c : columns.num) source.num.push_back(c.data());
    source.ctx = &texts;
    source.meta_text = [](const void* ctx, uint32_t row) -> std::string_view {
      return (*static_cast<const std::vector<std::string>*>(ctx))[row];
    };
  }
};

std::shared_ptr<const Predicate> compile_ok(const std::string& text, const std::vector<FieldSchema>& fields,
                                            const std::set<std::string>& skip = {}) {
  auto r = compile_filter(text, fields, skip);
  EXPECT_TRUE(r.ok()) << text << ": " << r.status().message();
  return r.ok() ? *r : nullptr;
}

std::string refusal(const std::string& text, const std::vector<FieldSchema>& fields = {},
                    const std::set<std::string>& skip = {}) {
  auto r = compile_filter(text, fields, skip);
  if (r.ok()) return "<compiled>";
  EXPECT_EQ(r.status().code(), Code::kInvalidArgument);
  return r.status().message();
}

// ---------------------------------------------------------------------------
// A seeded generator of awkward metadata and filters.

class Generator {
 public:
  explicit Generator(uint64_t seed) : rng_(seed) {}

  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }

  json number() {
    static const std::vector<json> pool = {
        json(0), json(1), json(1.0), json(-1), json(2), json(2.5), json(-0.0), json(3), json(9007199254740992ll),
        json(9007199254740993ll), json(uint64_t{18446744073709551615ull}), json(1.8446744073709552e19),
        json(1e300), json(-7)};
    return pool[pick(pool.size())];
  }
  json string() {
    static const std::vector<std::string> pool = {"", "a", "b", "1", "1.0", "true", "null", "\x01true", "\x01" "false",
                                                  "\x02" "1", "\x02\"a\"", "\x03[]", "\x03" "1", "A", "\xc3\xa9"};
    return json(pool[pick(pool.size())]);
  }
  json scalar() {
    const size_t kind = pick(4);
    return kind == 0 ? json(nullptr) : kind == 1 ? json(chance(0.5)) : kind == 2 ? number() : string();
  }
  json composite() {
    static const std::vector<std::string> pool = {"[]", "{}", "[1]", "[\"a\"]", "{\"a\":1}", "[[1.0],{\"b\":null}]"};
    return json::parse(pool[pick(pool.size())]);
  }

  // Fields: n holds numbers, s strings, t booleans, the others anything.
  static inline const std::vector<std::string> kFields = {"n", "s", "t", "m", "x", "y"};

  json value_for(const std::string& field) {
    if (chance(0.15)) return json(nullptr);
    if (field == "n") return number();
    if (field == "s") return string();
    if (field == "t") return json(chance(0.5));
    return chance(0.2) ? composite() : scalar();
  }

  json meta() {
    if (chance(0.05)) {
      static const std::vector<std::string> odd = {"null", "5", "\"n\"", "[1,2]", "true"};
      return json::parse(odd[pick(odd.size())]);
    }
    json m = json::object();
    for (const std::string& f : kFields) {
      if (chance(0.7)) m[f] = value_for(f);
    }
    return m;
  }

  json op_object() {
    json ops = json::object();
    const size_t n_ops = pick(3);  // 0 ops: the empty operator object
    for (size_t i = 0; i < n_ops; ++i) {
      switch (pick(5)) {
        case 0: ops[chance(0.5) ? "$eq" : "$ne"] = scalar(); break;
        case 1: {
          json list = json::array();
          for (size_t k = pick(4); k > 0; --k) list.push_back(scalar());
          ops[chance(0.5) ? "$in" : "$nin"] = list;
          break;
        }
        case 2: ops[chance(0.5) ? "$gt" : "$gte"] = number(); break;
        case 3: ops[chance(0.5) ? "$lt" : "$lte"] = number(); break;
        default: ops["$exists"] = chance(0.5);
      }
    }
    return ops;
  }

  json filter(int depth) {
    json f = json::object();
    const size_t n_keys = pick(3);
    for (size_t i = 0; i < n_keys; ++i) {
      const size_t kind = depth < 3 ? pick(6) : 5;
      if (kind == 0 || kind == 1) {
        json list = json::array();
        for (size_t k = pick(3); k > 0; --k) list.push_back(filter(depth + 1));
        f[kind == 0 ? "$and" : "$or"] = list;
      } else if (kind == 2) {
        f["$not"] = filter(depth + 1);
      } else {
        const std::string field = chance(0.9) ? kFields[pick(kFields.size())] : "absent";
        f[field] = chance(0.3) ? scalar() : op_object();
      }
    }
    return f;
  }

 private:
  std::mt19937_64 rng_;
};

// The instruction sets this processor can compare blocks with.
std::vector<kernels::Isa> SupportedIsas() {
  std::vector<kernels::Isa> out;
  for (kernels::Isa isa : {kernels::Isa::kScalar, kernels::Isa::kAvx2, kernels::Isa::kAvx512}) {
    if (kernels::table_for(isa) != nullptr) out.push_back(isa);
  }
  return out;
}

void expect_agreement(const Rows& rows, const std::set<std::string>& skip, uint64_t seed, int n_filters) {
  Generator gen(seed);
  for (int i = 0; i < n_filters; ++i) {
    const json f = gen.filter(0);
    bool mentions_skipped = false;
    for (const std::string& s : skip) {
      mentions_skipped = mentions_skipped || f.dump().find("\"" + s + "\"") != std::string::npos;
    }
    auto compiled = compile_filter(f.dump(), rows.columns.fields, skip);
    if (mentions_skipped) continue;  // refusals have their own test
    ASSERT_TRUE(compiled.ok()) << f.dump() << ": " << compiled.status().message();
    for (uint32_t r = 0; r < rows.metas.size(); ++r) {
      ASSERT_EQ((*compiled)->eval(rows.source, r), reference_eval(f, rows.metas[r]))
          << "filter " << f.dump() << "\nrow " << rows.metas[r].dump();
    }
    if ((*compiled)->accepts_all()) {
      for (const json& m : rows.metas) ASSERT_TRUE(reference_eval(f, m)) << f.dump();
    }
    // Blocks of every size from 1 to 64 rows at shifting starts agree with
    // the row-by-row evaluation, whatever the width of the comparisons.
    const uint32_t n = static_cast<uint32_t>(rows.metas.size());
    for (kernels::Isa isa : SupportedIsas()) {
      const kernels::Isa was = filter::CompiledFilter::set_compare_isa(isa);
      for (uint32_t first = 0, count = 1 + i % 64; first < n; first += count, count = count % 64 + 1) {
        const uint32_t c = std::min(count, n - first);
        uint64_t want = 0;
        for (uint32_t j = 0; j < c; ++j) want |= static_cast<uint64_t>((*compiled)->eval(rows.source, first + j)) << j;
        ASSERT_EQ((*compiled)->eval_block(rows.source, first, c), want) << f.dump() << " rows " << first << "+" << c;
      }
      filter::CompiledFilter::set_compare_isa(was);
    }
  }
}

std::vector<json> random_metas(uint64_t seed, size_t n) {
  Generator gen(seed);
  std::vector<json> metas;
  for (size_t i = 0; i < n; ++i) metas.push_back(gen.meta());
  return metas;
}

TEST(FilterSemantics, ColumnsAgreeWithDirectEvaluation) {
  for (uint64_t seed = 1; seed <= 4; ++seed) {
    Rows rows(random_metas(seed, 300), {});
    expect_agreement(rows, {}, seed * 1000, 400);
  }
}

TEST(FilterSemantics, FieldsBeyondTheTypedColumnsAgreeWithDirectEvaluation) {
  // Filler fields sort before the random ones, so these take every column.
  std::vector<json> metas = random_metas(7, 300);
  for (size_t i = 0; i < kMaxTypedFields - 2; ++i) metas[0][std::string("_").append(std::to_string(1000 + i))] = 1;
  Rows rows(std::move(metas), {});
  ASSERT_EQ(rows.columns.fields.size(), kMaxTypedFields);
  expect_agreement(rows, {}, 7000, 300);
}

TEST(FilterSemantics, SkippedFieldsLeaveOtherConditionsIntact) {
  Rows rows(random_metas(11, 200), {"m"});
  for (const FieldSchema& f : rows.columns.fields) ASSERT_NE(f.name, "m");
  expect_agreement(rows, {"m"}, 11000, 300);
}

TEST(FilterSemantics, WholeBlocksAgreeAtTheBoundsThemselves) {
  // Values equal to the bounds and missing values, in whole 64-row blocks
  // (the widest comparisons): each operator's edge decides.
  std::vector<json> metas;
  for (int i = 0; i < 256; ++i) {
    metas.push_back(i % 9 == 4 ? json::parse(R"({"s": "x"})")
                               : json{{"n", (i * 7) % 11 - 3}, {"s", i % 3 == 0 ? "a" : "b"}});
  }
  Rows rows(std::move(metas), {});
  for (const char* text : {R"({"n": {"$gt": 2}})", R"({"n": {"$gte": 2}})", R"({"n": {"$lt": 2}})",
                           R"({"n": {"$lte": 2}})", R"({"n": {"$in": [2, -3, 7]}})", R"({"n": {"$nin": [2, 0]}})",
                           R"({"n": {"$ne": 2}})", R"({"n": {"$exists": false}})", R"({"s": {"$in": ["a", "x"]}})",
                           R"({"$or": [{"n": 2}, {"s": {"$ne": "b"}}]})"}) {
    auto f = compile_ok(text, rows.columns.fields);
    for (kernels::Isa isa : SupportedIsas()) {
      const kernels::Isa was = filter::CompiledFilter::set_compare_isa(isa);
      for (uint32_t first = 0; first < 256; first += 64) {
        uint64_t want = 0;
        for (uint32_t j = 0; j < 64; ++j) want |= static_cast<uint64_t>(f->eval(rows.source, first + j)) << j;
        EXPECT_EQ(f->eval_block(rows.source, first, 64), want) << text << " at " << first << " isa " << int(isa);
      }
      filter::CompiledFilter::set_compare_isa(was);
    }
  }
}

TEST(FilterSemantics, AbsentColumnsHoldNoValue) {
  Rows rows({json::parse(R"({"n": 1, "s": "a"})"), json::parse(R"({"n": 2, "s": "b"})")}, {});
  RowSource empty;  // e.g. a delta without typed columns yet
  auto eq = compile_ok(R"({"s": "a"})", rows.columns.fields);
  auto ne = compile_ok(R"({"n": {"$ne": 1}})", rows.columns.fields);
  auto missing = compile_ok(R"({"s": {"$exists": false}, "n": {"$exists": false}})", rows.columns.fields);
  EXPECT_FALSE(eq->eval(empty, 0));
  EXPECT_TRUE(ne->eval(empty, 0));
  EXPECT_TRUE(missing->eval(empty, 1));
  EXPECT_TRUE(eq->eval(rows.source, 0));
  EXPECT_FALSE(eq->eval(rows.source, 1));
}

TEST(FilterSemantics, LargeCodeSetsMatchExactly) {
  std::vector<json> metas;
  json in = json::array();
  for (int i = 0; i < 3000; ++i) {
    const json value = i % 2 == 0 ? json(std::string("v").append(std::to_string(i))) : json(i);
    metas.push_back({{"k", value}});
    if (i % 3 == 0) in.push_back(value);
  }
  Rows rows(std::move(metas), {});
  const std::vector<std::string> filters = {
      json({{"k", {{"$in", in}}}}).dump(), json({{"k", {{"$nin", in}}}}).dump(),
      R"({"k": {"$gte": 1000, "$lt": 2500}})", R"({"k": {"$gt": 10}})"};
  for (const std::string& text : filters) {
    auto p = compile_ok(text, rows.columns.fields);
    const json f = json::parse(text);
    for (uint32_t r = 0; r < rows.metas.size(); ++r) {
      ASSERT_EQ(p->eval(rows.source, r), reference_eval(f, rows.metas[r])) << text << " row " << r;
    }
  }
}

TEST(FilterSemantics, DictionaryKeysAreReadAsTheirDecodedValues) {
  // Keys another writer could have produced: each must mean exactly what
  // dict_key_value says, whatever shortcut the compiler takes.
  const std::vector<std::string> keys = {
      "\x02" "1", "\x02" "1.0", "\x02" "1.", "\x02" "+1", "\x02" "01", "\x02" "inf", "\x02" "1e400",
      "\x02" "-0", "\x02" " 2", "\x02" "2e0", "\x03" "3", "\x02\"a\"", "\x03\"a\"", "a", "",
      "\x01true", "\x01" "false", "\x01" "yes", "\x02" "true", "\x03[1]", "\x02" "null", "\x02"};
  FieldSchema field{"k", false, {}};
  std::vector<uint32_t> column;
  std::vector<json> metas;
  for (uint32_t code = 0; code < keys.size(); ++code) {
    field.dict.emplace(keys[code], code);
    column.push_back(code);
    metas.push_back({{"k", predicate::dict_key_value(keys[code])}});
  }
  RowSource source;
  source.str.push_back(column.data());
  Generator gen(99);
  for (int i = 0; i < 400; ++i) {
    json f = {{"k", gen.op_object()}};
    if (i % 4 == 0) f = {{"k", gen.scalar()}};
    auto p = compile_ok(f.dump(), {field});
    for (uint32_t r = 0; r < keys.size(); ++r) {
      ASSERT_EQ(p->eval(source, r), reference_eval(f, metas[r])) << f.dump() << " key " << json(keys[r]).dump();
    }
  }
}

// ---------------------------------------------------------------------------

TEST(FilterCompile, TriviallyTrueFiltersAcceptAll) {
  const std::vector<FieldSchema> fields = {{"a", true, {}}};
  for (const char* text : {"{}", R"({"$and": []})", R"({"$not": {"$or": []}})", R"({"a": {}})",
                           R"({"gone": {"$ne": 3}})", R"({"$or": [{}, {"a": 1}]})",
                           R"({"a": {"$nin": ["x", null]}})"}) {
    EXPECT_TRUE(compile_ok(text, fields)->accepts_all()) << text;
  }
  for (const char* text : {R"({"$or": []})", R"({"a": 1})", R"({"gone": 1})", R"({"$not": {}})"}) {
    EXPECT_FALSE(compile_ok(text, fields)->accepts_all()) << text;
  }
}

TEST(FilterCompile, EveryRefusalHasAClearMessage) {
  const std::vector<FieldSchema> fields = {{"a", false, {}}};
  const std::set<std::string> skip = {"x"};
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"null", "filter must be an object, got null"},
      {"[1,2]", "filter must be an object, got [1,2]"},
      {"\"a\"", "filter must be an object, got \"a\""},
      {"{\"x\": 1}", "filter field 'x' is not indexed (skip_index)"},
      {"{\"$or\": [{\"a\": 1}, {\"$not\": {\"x\": {}}}]}", "filter field 'x' is not indexed (skip_index)"},
      {"{\"$and\": {}}", "$and expects an array of filters, got {}"},
      {"{\"$or\": 1}", "$or expects an array of filters, got 1"},
      {"{\"$and\": [1]}", "filter must be an object, got 1"},
      {"{\"$not\": [{}]}", "$not expects a filter object, got [{}]"},
      {"{\"$nor\": []}", "unknown operator '$nor'"},
      {"{\"a\": {\"$regex\": \"x\"}}", "unknown operator '$regex' on field 'a'"},
      {"{\"a\": {\"$not\": {}}}", "unknown operator '$not' on field 'a'"},
      {"{\"a\": {\"$eq\": 1, \"b\": 2}}",
       "field 'a': 'b' is not an operator; an operator object holds only operators"},
      {"{\"a\": [1]}",
       "field 'a' must be matched against null, a boolean, a number or a string or an operator object, got [1]"},
      {"{\"a\": {\"$eq\": {}}}", "$eq on field 'a' expects null, a boolean, a number or a string, got {}"},
      {"{\"a\": {\"$ne\": [1]}}", "$ne on field 'a' expects null, a boolean, a number or a string, got [1]"},
      {"{\"a\": {\"$gt\": \"1\"}}", "$gt on field 'a' expects a number, got \"1\""},
      {"{\"a\": {\"$lte\": true}}", "$lte on field 'a' expects a number, got true"},
      {"{\"a\": {\"$gte\": null}}", "$gte on field 'a' expects a number, got null"},
      {"{\"a\": {\"$in\": 1}}",
       "$in on field 'a' expects an array of null, boolean, number or string values, got 1"},
      {"{\"a\": {\"$nin\": [1, [2]]}}",
       "$nin on field 'a' expects an array of null, boolean, number or string values; item 1 is [2]"},
      {"{\"a\": {\"$exists\": 1}}", "$exists on field 'a' expects true or false, got 1"},
      {std::string(70, '[') + std::string(70, ']'), "filter nests deeper than 64 levels"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(refusal(text, fields, skip), message) << text;
}

TEST(FilterCompile, UnparsableTextGivesTheParserMessage) {
  for (const char* text : {"", "{", "{\"a\": }", "{'a': 1}", "{} x"}) {
    const std::string message = refusal(text);
    EXPECT_EQ(message.rfind("bad filter: ", 0), 0u) << message;
    EXPECT_GT(message.size(), std::string("bad filter: ").size()) << text;
    EXPECT_EQ(message.find("[json.exception"), std::string::npos) << message;
  }
}

TEST(FilterCompile, HostileNestingIsRefusedWithoutCrashing) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "{\"$not\":";
  deep += "{}";
  deep += std::string(100000, '}');
  EXPECT_EQ(refusal(deep), "filter nests deeper than 64 levels");
  std::string ok;
  for (int i = 0; i < 63; ++i) ok += "{\"$not\":";
  ok += "{}" + std::string(63, '}');
  EXPECT_FALSE(compile_ok(ok, {})->accepts_all());  // an odd number of negations of "{}"
}

}  // namespace
}  // namespace nimbrel
