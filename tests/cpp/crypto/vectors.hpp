#pragma once
// Reading the known-answer vector files shared by the crypto tests. A missing folder or file
// is an error (the test fails), never a skip: a suite that silently runs no vectors proves
// nothing.
#include <simdjson.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::testing {

// The folder named by OSTREL_TESTVECTORS, else ../shared/testvectors beside the source tree.
std::filesystem::path vector_dir();
// The source tree's root (for vector files kept with the tests).
std::filesystem::path source_dir();

// Hex (either case, no prefix, even length) to bytes; throws std::invalid_argument otherwise.
std::vector<std::uint8_t> from_hex(std::string_view hex);
std::string to_hex(std::span<const std::uint8_t> bytes);  // lower case

// One parsed vector file. The DOM it hands out lives as long as this object.
class VectorFile {
 public:
  // `relative` is a path under vector_dir(); throws std::runtime_error naming the file when
  // it cannot be read or parsed.
  static VectorFile load(const std::filesystem::path& relative);
  // A vector file at a path of its own, e.g. one kept beside the tests in the source tree.
  static VectorFile load_path(const std::filesystem::path& path);

  simdjson::dom::element root() const { return root_; }
  // The "cases" array of the project's ACVP-derived files.
  simdjson::dom::array cases() const;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::unique_ptr<simdjson::dom::parser> parser_;
  simdjson::dom::element root_;
};

// Field accessors that throw std::runtime_error naming the key when it is absent or of
// another type, so a malformed vector file fails loudly.
std::vector<std::uint8_t> hex_field(simdjson::dom::element obj, std::string_view key);
std::string string_field(simdjson::dom::element obj, std::string_view key);
bool bool_field(simdjson::dom::element obj, std::string_view key);
std::int64_t int_field(simdjson::dom::element obj, std::string_view key);
bool has_field(simdjson::dom::element obj, std::string_view key);

// What a helper script of the source tree printed, said on stderr and returned.
struct ScriptRun {
  int status = -1;
  std::string out;
  std::string err;
};
// Runs scripts/<script> with `args` under the Python named by $PYTHON (else python3), `input`
// on its stdin; the cross-checks against other implementations go through it.
ScriptRun run_script(std::string_view script, std::string_view args, std::string_view input);

}  // namespace ostrel::testing
