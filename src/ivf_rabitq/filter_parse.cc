// Filter text -> checked FilterNode tree, with the user-facing refusals.
#include <algorithm>
#include <utility>

#include "ivf_rabitq/filter_ast.h"
#include "ivf_rabitq/json_text.h"

namespace nimbrel::filter {
namespace {

using nlohmann::json;

Status refuse(std::string message) { return Status::InvalidArgument(std::move(message)); }

// Depth of the deepest array or object (a scalar has depth 0), computed
// without recursion so that hostile nesting cannot exhaust the stack.
int nesting_depth(const json& root) {
  int deepest = 0;
  std::vector<std::pair<const json*, int>> pending{{&root, 0}};
  while (!pending.empty()) {
    auto [value, depth] = pending.back();
    pending.pop_back();
    if (!value->is_structured()) continue;
    deepest = std::max(deepest, depth + 1);
    if (deepest > kMaxFilterDepth) return deepest;
    for (const json& child : *value) pending.emplace_back(&child, depth + 1);
  }
  return deepest;
}

bool is_scalar(const json& v) { return v.is_null() || v.is_boolean() || v.is_number() || v.is_string(); }

void add_scalar(const json& v, ScalarSet* set) {
  if (v.is_boolean()) {
    (v.get<bool>() ? set->has_true : set->has_false) = true;
  } else if (v.is_number()) {
    set->numbers.push_back(v.get<double>());
  } else if (v.is_string()) {
    set->strings.push_back(v.get<std::string>());
  }
}

void sort_unique(ScalarSet* set) {
  std::sort(set->numbers.begin(), set->numbers.end());
  set->numbers.erase(std::unique(set->numbers.begin(), set->numbers.end()), set->numbers.end());
  std::sort(set->strings.begin(), set->strings.end());
  set->strings.erase(std::unique(set->strings.begin(), set->strings.end()), set->strings.end());
}

const char* const kScalarKinds = "null, a boolean, a number or a string";

Status parse_operator(const std::string& field, const std::string& op, const json& operand,
                      FieldCondition* out) {
  FieldTest test;
  if (op == "$eq" || op == "$ne") {
    if (!is_scalar(operand)) {
      return refuse(op + " on field '" + field + "' expects " + kScalarKinds + ", got " + canonical_json(operand));
    }
    test.op = op == "$eq" ? TestOp::kIn : TestOp::kNotIn;
    add_scalar(operand, &test.set);
  } else if (op == "$in" || op == "$nin") {
    const std::string expected =
        op + " on field '" + field + "' expects an array of null, boolean, number or string values";
    if (!operand.is_array()) return refuse(expected + ", got " + canonical_json(operand));
    for (size_t i = 0; i < operand.size(); ++i) {
      if (!is_scalar(operand[i])) {
        return refuse(expected + "; item " + std::to_string(i) + " is " + canonical_json(operand[i]));
      }
      add_scalar(operand[i], &test.set);
    }
    sort_unique(&test.set);
    test.op = op == "$in" ? TestOp::kIn : TestOp::kNotIn;
  } else if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
    if (!operand.is_number()) {
      return refuse(op + " on field '" + field + "' expects a number, got " + canonical_json(operand));
    }
    test.op = op == "$gt" ? TestOp::kGt : op == "$gte" ? TestOp::kGte : op == "$lt" ? TestOp::kLt : TestOp::kLte;
    test.bound = operand.get<double>();
  } else if (op == "$exists") {
    if (!operand.is_boolean()) {
      return refuse("$exists on field '" + field + "' expects true or false, got " + canonical_json(operand));
    }
    test.op = TestOp::kExists;
    test.want = operand.get<bool>();
  } else if (!op.empty() && op[0] == '$') {
    return refuse("unknown operator '" + op + "' on field '" + field + "'");
  } else {
    return refuse("field '" + field + "': '" + op +
                  "' is not an operator; an operator object holds only operators");
  }
  out->tests.push_back(std::move(test));
  return Status::Ok();
}

Status parse_field(const std::string& field, const json& value, FilterNode* out) {
  out->kind = FilterNode::Kind::kField;
  out->condition.field = field;
  if (value.is_object()) {
    for (auto it = value.begin(); it != value.end(); ++it) {
      NIMBREL_RETURN_IF_ERROR(parse_operator(field, it.key(), it.value(), &out->condition));
    }
    return Status::Ok();
  }
  if (!is_scalar(value)) {
    return refuse("field '" + field + "' must be matched against " + kScalarKinds +
                  " or an operator object, got " + canonical_json(value));
  }
  FieldTest test;
  test.op = TestOp::kIn;
  add_scalar(value, &test.set);
  out->condition.tests.push_back(std::move(test));
  return Status::Ok();
}

Status parse_node(const json& value, FilterNode* out);

Status parse_list(const std::string& op, const json& value, FilterNode* out) {
  if (!value.is_array()) return refuse(op + " expects an array of filters, got " + canonical_json(value));
  out->kind = op == "$and" ? FilterNode::Kind::kAnd : FilterNode::Kind::kOr;
  out->children.resize(value.size());
  for (size_t i = 0; i < value.size(); ++i) NIMBREL_RETURN_IF_ERROR(parse_node(value[i], &out->children[i]));
  return Status::Ok();
}

// An object: every key is a condition, all ANDed.
Status parse_node(const json& value, FilterNode* out) {
  if (!value.is_object()) return refuse("filter must be an object, got " + canonical_json(value));
  out->kind = FilterNode::Kind::kAnd;
  out->children.resize(value.size());
  size_t i = 0;
  for (auto it = value.begin(); it != value.end(); ++it, ++i) {
    const std::string& key = it.key();
    FilterNode& child = out->children[i];
    if (key == "$and" || key == "$or") {
      NIMBREL_RETURN_IF_ERROR(parse_list(key, it.value(), &child));
    } else if (key == "$not") {
      if (!it.value().is_object()) return refuse("$not expects a filter object, got " + canonical_json(it.value()));
      child.kind = FilterNode::Kind::kNot;
      child.children.resize(1);
      NIMBREL_RETURN_IF_ERROR(parse_node(it.value(), &child.children[0]));
    } else if (!key.empty() && key[0] == '$') {
      return refuse("unknown operator '" + key + "'");
    } else {
      NIMBREL_RETURN_IF_ERROR(parse_field(key, it.value(), &child));
    }
  }
  return Status::Ok();
}

}  // namespace

Result<FilterNode> parse_filter(std::string_view text) {
  json doc = parse_json_text(text);
  if (doc.is_discarded()) return refuse("bad filter: " + json_parse_error(text));
  if (nesting_depth(doc) > kMaxFilterDepth) {
    return refuse("filter nests deeper than " + std::to_string(kMaxFilterDepth) + " levels");
  }
  FilterNode root;
  NIMBREL_RETURN_IF_ERROR(parse_node(doc, &root));
  return root;
}

}  // namespace nimbrel::filter
