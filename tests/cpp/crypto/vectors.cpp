#include "crypto/vectors.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ostrel::testing {

std::filesystem::path vector_dir() {
  if (const char* env = std::getenv("OSTREL_TESTVECTORS"); env != nullptr && *env != '\0') return env;
  return source_dir() / ".." / "shared" / "testvectors";
}

std::filesystem::path source_dir() { return OSTREL_SOURCE_DIR; }

namespace {
int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::vector<std::uint8_t> from_hex(std::string_view hex) {
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd-length hex string");
  std::vector<std::uint8_t> out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int hi = nibble(hex[2 * i]);
    const int lo = nibble(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) throw std::invalid_argument("non-hex character in hex string");
    out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return out;
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0xF]);
  }
  return out;
}

VectorFile VectorFile::load(const std::filesystem::path& relative) {
  return load_path(vector_dir() / relative);
}

VectorFile VectorFile::load_path(const std::filesystem::path& path) {
  VectorFile f;
  f.path_ = path;
  if (!std::filesystem::is_regular_file(f.path_))
    throw std::runtime_error("vector file missing: " + f.path_.string() +
                             " (set OSTREL_TESTVECTORS to the vector folder)");
  f.parser_ = std::make_unique<simdjson::dom::parser>();
  auto doc = f.parser_->load(f.path_.string());
  if (doc.error())
    throw std::runtime_error("vector file " + f.path_.string() + ": " + simdjson::error_message(doc.error()));
  f.root_ = doc.value_unsafe();
  return f;
}

simdjson::dom::array VectorFile::cases() const {
  simdjson::dom::array arr;
  if (root_["cases"].get(arr))
    throw std::runtime_error("vector file " + path_.string() + " has no \"cases\" array");
  return arr;
}

namespace {
simdjson::dom::element field(simdjson::dom::element obj, std::string_view key) {
  simdjson::dom::element e;
  if (obj[key].get(e)) throw std::runtime_error("vector case lacks field \"" + std::string(key) + "\"");
  return e;
}
[[noreturn]] void wrong_type(std::string_view key) {
  throw std::runtime_error("vector field \"" + std::string(key) + "\" has an unexpected type");
}
}  // namespace

bool has_field(simdjson::dom::element obj, std::string_view key) {
  simdjson::dom::element e;
  return !obj[key].get(e);
}

std::string string_field(simdjson::dom::element obj, std::string_view key) {
  std::string_view s;
  if (field(obj, key).get(s)) wrong_type(key);
  return std::string(s);
}

std::vector<std::uint8_t> hex_field(simdjson::dom::element obj, std::string_view key) {
  return from_hex(string_field(obj, key));
}

bool bool_field(simdjson::dom::element obj, std::string_view key) {
  bool b;
  if (field(obj, key).get(b)) wrong_type(key);
  return b;
}

std::int64_t int_field(simdjson::dom::element obj, std::string_view key) {
  std::int64_t v;
  if (field(obj, key).get(v)) wrong_type(key);
  return v;
}

ScriptRun run_script(std::string_view script, std::string_view args, std::string_view input) {
  const char* py_env = std::getenv("PYTHON");
  const std::string python = py_env && *py_env ? py_env : "python3";
  const auto path = source_dir() / "scripts" / script;
  // One folder per process and script, so test programs running side by side never share files.
  const auto dir = std::filesystem::temp_directory_path() /
                   ("ostrel_" + path.stem().string() + "_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto in_path = dir / "in.json", out_path = dir / "out.json", err_path = dir / "err.txt";
  std::ofstream(in_path) << input;

  const std::string cmd = "\"" + python + "\" \"" + path.string() + "\" " + std::string(args) + " < \"" +
                          in_path.string() + "\" > \"" + out_path.string() + "\" 2> \"" + err_path.string() + "\"";
  ScriptRun run;
  run.status = std::system(cmd.c_str());
  std::stringstream out, err;
  out << std::ifstream(out_path).rdbuf();
  err << std::ifstream(err_path).rdbuf();
  run.out = out.str();
  run.err = err.str();
  std::filesystem::remove_all(dir);
  return run;
}

}  // namespace ostrel::testing
