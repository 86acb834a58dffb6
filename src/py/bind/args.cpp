#include "py/bind/args.hpp"

#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ostrel::py::bind {

namespace {

void append_count(std::string& out, std::size_t n) { out += std::to_string(n); }

Failed too_many_positional(SignatureView sig, Py_ssize_t given) {
  const std::size_t positional = sig.positional;
  std::size_t required_positional = 0;
  for (std::size_t i = 0; i < positional; ++i) required_positional += sig.params[i].is_required ? 1 : 0;
  std::string message(sig.function);
  message += " takes ";
  if (required_positional != positional) {
    message += "from ";
    append_count(message, required_positional);
    message += " to ";
  }
  append_count(message, positional);
  message += " positional arguments but ";
  append_count(message, static_cast<std::size_t>(given));
  message += given == 1 ? " was given" : " were given";
  return raise(ErrorKind::Type, message);
}

Failed keyword_error(SignatureView sig, std::string_view what, std::string_view name) {
  std::string message(sig.function);
  message += what;
  message += "'";
  message += name;
  message += "'";
  return raise(ErrorKind::Type, message);
}

// "'a'", "'a' and 'b'", "'a', 'b' and 'c'"
void append_names(std::string& out, const std::vector<std::string_view>& names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) out += i + 1 == names.size() ? " and " : ", ";
    out += "'";
    out += names[i];
    out += "'";
  }
}

bool check_missing(SignatureView sig, PyObject** slots) {
  bool any_missing = false;
  for (std::uint64_t rest = sig.required; rest != 0; rest &= rest - 1) {
    any_missing |= slots[std::countr_zero(rest)] == nullptr;
  }
  if (!any_missing) return true;
  // Missing positional arguments are reported first; keyword-only ones only when none is.
  for (bool keyword : {false, true}) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
      const Param& p = sig.params[i];
      if (p.is_required && p.keyword_only == keyword && slots[i] == nullptr) missing.push_back(p.name);
    }
    if (missing.empty()) continue;
    std::string message(sig.function);
    message += " missing ";
    append_count(message, missing.size());
    message += keyword ? " required keyword " : " required positional ";
    message += missing.size() == 1 ? "argument: " : "arguments: ";
    append_names(message, missing);
    raise(ErrorKind::Type, message);
    return false;
  }
  return true;
}

bool place_positional(SignatureView sig, Py_ssize_t nargs, PyObject** slots,
                      PyObject* (*item)(const void*, Py_ssize_t), const void* source) {
  if (nargs > static_cast<Py_ssize_t>(sig.positional)) {
    too_many_positional(sig, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = item(source, i);
  return true;
}

// A parameter's name as an interned str, with the text it was made from.
struct InternedName {
  std::string_view text;
  PyObject* object;  // a strong reference, kept for the life of the process
};

// The interned names of each signature's parameters, made on a signature's first call and kept
// like the type objects, for the life of the process. The interpreter interns the keyword names
// written in calling code, so a keyword is almost always the very object made here and one
// pointer comparison replaces reading and comparing its text. Only touched with the
// interpreter lock held.
class InternedNames {
 public:
  // nullptr when there is nothing to name or the names cannot be made (no memory); callers
  // then compare texts.
  const InternedName* of(SignatureView sig) {
    if (sig.params.empty()) return nullptr;
    const Param* key = sig.params.data();
    for (std::size_t i = home(key); slots_[i].key != nullptr; i = next(i)) {
      if (slots_[i].key != key) continue;
      if (made_from(slots_[i], sig)) return slots_[i].names.get();
      break;
    }
    return add(sig);
  }

 private:
  struct Slot {
    const Param* key = nullptr;  // a signature's parameter array
    std::size_t count = 0;
    std::unique_ptr<InternedName[]> names;
  };

  // A signature declared inside a function may be rebuilt where another one stood, so the
  // address alone does not name it. Each match is checked against its parameter's text too.
  static bool made_from(const Slot& slot, SignatureView sig) {
    return slot.count == sig.params.size() && slot.names[0].text.data() == sig.params[0].name.data();
  }

  std::size_t home(const Param* key) const {
    // Fibonacci hashing: the low bits of an array's address carry little.
    const auto h = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key)) * 0x9e3779b97f4a7c15u;
    return static_cast<std::size_t>(h >> (64 - shift_));
  }
  std::size_t next(std::size_t i) const { return (i + 1) & (slots_.size() - 1); }

  const InternedName* add(SignatureView sig) {
    auto names = std::make_unique<InternedName[]>(sig.params.size());
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
      const std::string text(sig.params[i].name);
      PyObject* object = PyUnicode_InternFromString(text.c_str());
      if (object == nullptr) {
        for (std::size_t j = 0; j < i; ++j) Py_DECREF(names[j].object);
        PyErr_Clear();  // the texts are compared instead
        return nullptr;
      }
      names[i] = {sig.params[i].name, object};
    }
    if (2 * (used_ + 1) > slots_.size()) grow();
    std::size_t i = home(sig.params.data());
    while (slots_[i].key != nullptr && slots_[i].key != sig.params.data()) i = next(i);
    Slot& slot = slots_[i];
    if (slot.key == nullptr) {
      ++used_;
    } else {
      // An outdated entry: another signature's names.
      for (std::size_t j = 0; j < slot.count; ++j) Py_DECREF(slot.names[j].object);
    }
    slot = Slot{sig.params.data(), sig.params.size(), std::move(names)};
    return slot.names.get();
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    ++shift_;
    slots_ = std::vector<Slot>(std::size_t{1} << shift_);
    for (Slot& slot : old) {
      if (slot.key == nullptr) continue;
      std::size_t i = home(slot.key);
      while (slots_[i].key != nullptr) i = next(i);
      slots_[i] = std::move(slot);
    }
  }

  unsigned shift_ = 6;
  std::vector<Slot> slots_ = std::vector<Slot>(std::size_t{1} << 6);
  std::size_t used_ = 0;
};

InternedNames& interned_names() {
  // Never destroyed: its references would otherwise be dropped after the interpreter is gone.
  static InternedNames* names = new InternedNames();
  return *names;
}

constexpr std::size_t kNoParam = static_cast<std::size_t>(-1);

// The parameter whose interned name is `key` itself, searching from `from` (keywords usually
// come in declaration order) and wrapping around; kNoParam when none is.
std::size_t find_by_identity(SignatureView sig, const InternedName* names, PyObject* key, std::size_t from) {
  const std::size_t n = sig.params.size();
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t i = from + k;
    if (i >= n) i -= n;
    if (names[i].object == key) {
      // Same text pointer and length: the entry was made from this very signature.
      const std::string_view name = sig.params[i].name;
      return names[i].text.data() == name.data() && names[i].text.size() == name.size() ? i : kNoParam;
    }
  }
  return kNoParam;
}

std::size_t find_by_text(SignatureView sig, PyObject* key, std::string_view& text) {
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &n);
  if (utf8 == nullptr) return kNoParam;
  text = std::string_view(utf8, static_cast<std::size_t>(n));
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (sig.params[i].name == text) return i;
  }
  return kNoParam;
}

// Places one keyword argument; `next` is where the search for the following one starts.
bool place_keyword(SignatureView sig, const InternedName* names, PyObject* key, PyObject* value,
                   PyObject** slots, std::size_t& next) {
  std::size_t i = names != nullptr ? find_by_identity(sig, names, key, next) : kNoParam;
  std::string_view text;
  if (i == kNoParam) {
    i = find_by_text(sig, key, text);
    if (i == kNoParam) {
      if (text.data() == nullptr) return false;  // the key has no UTF-8 form; its error is set
      keyword_error(sig, " got an unexpected keyword argument ", text);
      return false;
    }
  }
  if (slots[i] != nullptr) {
    keyword_error(sig, " got multiple values for argument ", sig.params[i].name);
    return false;
  }
  slots[i] = value;
  next = i + 1 < sig.params.size() ? i + 1 : 0;
  return true;
}

// The usual case, kept inline: the keyword is the interned name of the parameter after the
// last one placed, and that parameter is still free.
inline bool place_next(SignatureView sig, const InternedName* names, PyObject* key, PyObject* value,
                       PyObject** slots, std::size_t& next) {
  if (names == nullptr || next >= sig.params.size()) return false;
  const InternedName& name = names[next];
  const std::string_view text = sig.params[next].name;
  if (name.object != key || slots[next] != nullptr || name.text.data() != text.data() ||
      name.text.size() != text.size()) {
    return false;
  }
  slots[next++] = value;
  return true;
}

}  // namespace

bool parse_call(SignatureView sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
  if (nargs < 0) return false;
  auto tuple_item = [](const void* tuple, Py_ssize_t i) {
    return PyTuple_GetItem(static_cast<PyObject*>(const_cast<void*>(tuple)), i);
  };
  if (!place_positional(sig, nargs, slots, tuple_item, args)) return false;
  if (kwargs != nullptr) {
    const InternedName* names = interned_names().of(sig);
    std::size_t next = static_cast<std::size_t>(nargs);
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_next(sig, names, key, value, slots, next) &&
          !place_keyword(sig, names, key, value, slots, next)) {
        return false;
      }
    }
  }
  return check_missing(sig, slots);
}

bool parse_vectorcall(SignatureView sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      PyObject** slots) {
  auto array_item = [](const void* array, Py_ssize_t i) {
    return static_cast<PyObject* const*>(array)[i];
  };
  if (!place_positional(sig, nargs, slots, array_item, args)) return false;
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  if (nkw > 0) {
    const InternedName* names = interned_names().of(sig);
    std::size_t next = static_cast<std::size_t>(nargs);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      PyObject* key = PyTuple_GetItem(kwnames, j);
      PyObject* value = args[nargs + j];
      if (!place_next(sig, names, key, value, slots, next) &&
          !place_keyword(sig, names, key, value, slots, next)) {
        return false;
      }
    }
  }
  return check_missing(sig, slots);
}

}  // namespace ostrel::py::bind
