#include "ivf_rabitq/json_text.h"

#include <cstring>
#include <utility>
#include <vector>

namespace nimbrel {
namespace {

using nlohmann::json;

// Records the parser's message and builds no values: the SAX interface
// reports the error as a value instead of throwing it.
class ParseErrorCatcher : public json::json_sax_t {
 public:
  std::string message;
  // Bytes the parser had read when it failed, the failing one included.
  size_t position = 0;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t position_read, const std::string&, const nlohmann::detail::exception& ex) override {
    position = position_read;
    message = ex.what();
    return false;
  }
};

// Offset of the first NUL byte in `text`, or npos.
size_t find_nul(std::string_view text) {
  if (text.empty()) return std::string_view::npos;
  const void* at = std::memchr(text.data(), '\0', text.size());
  return at == nullptr ? std::string_view::npos : static_cast<const char*>(at) - text.data();
}

}  // namespace

json parse_json_text(std::string_view text) {
  if (find_nul(text) != std::string_view::npos) return json(json::value_t::discarded);
  return json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
}

std::string canonical_json(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string json_parse_error(std::string_view text) {
  ParseErrorCatcher catcher;
  json::sax_parse(text.begin(), text.end(), &catcher);
  // Reading a NUL, the parser either stops as if at the end (no error, or
  // "unexpected end of input") or names it inside a string; a fault it met
  // before the NUL is still the first one and keeps its own message.
  const size_t nul = find_nul(text);
  if (nul != std::string_view::npos && (catcher.message.empty() || catcher.position > nul)) {
    return "parse error at byte " + std::to_string(nul + 1) + ": a NUL byte cannot appear in JSON text";
  }
  std::string_view message = catcher.message;
  if (message.starts_with("[json.exception.")) {
    const size_t close = message.find("] ");
    if (close != std::string_view::npos) message.remove_prefix(close + 2);
  }
  return message.empty() ? std::string("invalid JSON") : std::string(message);
}

bool nested_deeper_than(const nlohmann::json& root, size_t limit) {
  std::vector<std::pair<const nlohmann::json*, size_t>> stack{{&root, 1}};
  while (!stack.empty()) {
    auto [v, depth] = stack.back();
    stack.pop_back();
    if (!v->is_structured()) continue;
    if (depth > limit) return true;
    for (const auto& child : *v) stack.emplace_back(&child, depth + 1);
  }
  return false;
}

}  // namespace nimbrel
