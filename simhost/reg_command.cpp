// simhost reg: reg.exe for the simulated host's registry, with its syntax
// and output layout, plus /x on query to show a value's exact bytes.
// Every change is one locked read-modify-write of the hive files; a command
// that fails changes nothing.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/sim/hive.h"
#include "platform/win_codes.h"
#include "simhost/commands.h"

namespace kvx::simhost {
namespace {

using sim::hive_error;
using sim::hive_root;
using sim::key_path;
using sim::reg_key;
using sim::reg_value;

constexpr const char* not_found = "ERROR: The system was unable to find the specified registry key or value.\n";
constexpr const char* completed = "The operation completed successfully.\n";

constexpr const char* usage_text =
    "simhost reg query KEY [/v NAME | /ve] [/s] [/x]\n"
    "simhost reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "simhost reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "simhost reg import FILE\n"
    "simhost reg export KEY FILE [/y]\n"
    "\n"
    "  KEY   HKLM\\..., HKEY_LOCAL_MACHINE\\..., HKCR\\... or HKEY_CLASSES_ROOT\\...\n"
    "  TYPE  REG_SZ (the default), REG_EXPAND_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_MULTI_SZ\n"
    "  DATA  REG_DWORD and REG_QWORD: decimal or 0x hex; REG_BINARY: hex digits (\"0a1b\");\n"
    "        REG_MULTI_SZ: strings separated by \\0 (or by the /s character)\n"
    "  /s    query: every key below KEY too; add: the REG_MULTI_SZ separator\n"
    "  /x    query: show each value's data as its byte count and its bytes in hex\n"
    "  /f    add, delete: overwrite or delete without asking (there is no prompt)\n"
    "  /y    export: overwrite FILE without asking (there is no prompt)\n"
    "The hives are <host root>/registry/HKEY_LOCAL_MACHINE.reg and HKEY_CLASSES_ROOT.reg;\n"
    "the host root is $KVX_HOST_ROOT (default $HOME/.kvx-host).\n";

struct switch_rule {
  const char* name;  // lower case, without the leading '/'
  bool takes_argument;
};

// The words of one command: its positional words and its switches.
struct command_line {
  std::vector<std::string> words;
  std::vector<std::pair<std::string, std::string>> switches;

  bool has(std::string_view name) const { return find(name) != nullptr; }
  const std::string* find(std::string_view name) const {
    for (const auto& s : switches) {
      if (s.first == name) return &s.second;
    }
    return nullptr;
  }
};

int syntax_error(const std::string& op, const std::string& detail) {
  std::fprintf(stderr, "ERROR: Invalid syntax. %s\nType \"simhost reg %s /?\" for usage.\n", detail.c_str(),
               op.c_str());
  return 1;
}

int failure(const std::string& message) {
  std::fprintf(stderr, "ERROR: %s\n", message.c_str());
  return 1;
}

int hive_failure(const hive_error& e) { return failure(e.message); }

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// A word is a switch when it is '/' or '-' and the name of one of this
// command's switches, so that a file path such as /tmp/a.reg stays a word.
int split_command_line(const std::string& op, const arguments& args, std::initializer_list<switch_rule> rules,
                       command_line& out) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& word = args[i];
    const switch_rule* rule = nullptr;
    if (word.size() >= 2 && (word[0] == '/' || word[0] == '-')) {
      const std::string name = lower(std::string_view(word).substr(1));
      for (const switch_rule& s : rules) {
        if (name == s.name) rule = &s;
      }
    }
    if (rule == nullptr) {
      out.words.push_back(word);
      continue;
    }
    if (out.has(rule->name)) return syntax_error(op, "/" + std::string(rule->name) + " is given twice.");
    std::string value;
    if (rule->takes_argument) {
      if (i + 1 >= args.size()) return syntax_error(op, "/" + std::string(rule->name) + " needs a value after it.");
      value = args[++i];
    }
    out.switches.emplace_back(rule->name, std::move(value));
  }
  return 0;
}

// How many of the value selectors /v, /ve and /va were given.
int selectors(const command_line& cl) { return cl.has("v") + cl.has("ve") + cl.has("va"); }

int parse_key(const std::string& op, const std::string& text, hive_root& root, key_path& path) {
  if (sim::parse_full_key_name(text, root, path) == 0) return 0;
  return syntax_error(op, "'" + text +
                              "' is not a valid key name: it starts with HKLM, HKEY_LOCAL_MACHINE, HKCR or "
                              "HKEY_CLASSES_ROOT, and no name in it is empty.");
}

// The path as the hive spells it (names keep the case they were made with).
key_path stored_path(const reg_key& top, const key_path& path) {
  key_path out;
  const reg_key* k = &top;
  for (const std::string& name : path) {
    k = k->find_subkey(name);
    out.push_back(k->name());
  }
  return out;
}

const char* type_name(std::uint32_t type) {
  static constexpr const char* names[] = {"REG_NONE",
                                          "REG_SZ",
                                          "REG_EXPAND_SZ",
                                          "REG_BINARY",
                                          "REG_DWORD",
                                          "REG_DWORD_BIG_ENDIAN",
                                          "REG_LINK",
                                          "REG_MULTI_SZ",
                                          "REG_RESOURCE_LIST",
                                          "REG_FULL_RESOURCE_DESCRIPTOR",
                                          "REG_RESOURCE_REQUIREMENTS_LIST",
                                          "REG_QWORD"};
  return type < std::size(names) ? names[type] : "REG_UNKNOWN";
}

std::string hex_bytes(const std::vector<std::uint8_t>& data) {
  std::string out;
  char buf[4];
  for (std::uint8_t b : data) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    out += buf;
  }
  return out;
}

std::uint64_t little_endian(const std::vector<std::uint8_t>& data) {
  std::uint64_t n = 0;
  for (std::size_t i = data.size(); i > 0; --i) n = n << 8 | data[i - 1];
  return n;
}

// The data column as reg.exe shows it.
std::string shown_data(const reg_value& v) {
  const auto* text = reinterpret_cast<const char*>(v.data.data());
  switch (v.type) {
    case win::reg_sz:
    case win::reg_expand_sz:
      return std::string(text, strnlen(text, v.data.size()));
    case win::reg_multi_sz: {
      std::string out;
      std::size_t i = 0;
      while (i < v.data.size() && v.data[i] != 0) {
        const std::size_t n = strnlen(text + i, v.data.size() - i);
        if (!out.empty()) out += "\\0";
        out.append(text + i, n);
        i += n + 1;
      }
      return out;
    }
    case win::reg_dword:
    case win::reg_qword:
      if (v.data.size() == (v.type == win::reg_dword ? 4U : 8U)) {
        char buf[24];
        std::snprintf(buf, sizeof buf, "0x%" PRIx64, little_endian(v.data));
        return buf;
      }
      return hex_bytes(v.data);
    default:
      return hex_bytes(v.data);
  }
}

void print_value(const reg_value& v, bool exact) {
  const std::string name = v.name.empty() ? "(Default)" : v.name;
  std::string shown;
  if (exact) {
    shown = std::to_string(v.data.size());
    if (!v.data.empty()) shown += "    " + hex_bytes(v.data);
  } else {
    shown = shown_data(v);
  }
  std::printf("    %s    %s    %s\n", name.c_str(), type_name(v.type), shown.c_str());
}

struct query_walk {
  hive_root root;
  const std::string* value_name;  // null: every value
  bool exact;
  int matches = 0;

  void key(const reg_key& k, key_path& path, bool recursive) {
    if (value_name != nullptr) {
      if (const reg_value* v = k.find_value(*value_name); v != nullptr) {
        std::printf("\n%s\n", sim::full_key_name(root, path).c_str());
        print_value(*v, exact);
        ++matches;
      }
    } else {
      std::printf("\n%s\n", sim::full_key_name(root, path).c_str());
      for (const reg_value& v : k.values()) print_value(v, exact);
    }
    if (!recursive) return;
    for (const reg_key& sub : k.subkeys()) {
      path.push_back(sub.name());
      key(sub, path, true);
      path.pop_back();
    }
  }
};

int run_query(const arguments& args) {
  command_line cl;
  if (split_command_line("query", args, {{"v", true}, {"ve", false}, {"s", false}, {"x", false}}, cl) != 0) return 1;
  if (cl.words.size() != 1) return syntax_error("query", "query takes one KEY.");
  if (selectors(cl) > 1) return syntax_error("query", "/v and /ve exclude each other.");
  hive_root root{};
  key_path path;
  if (parse_key("query", cl.words[0], root, path) != 0) return 1;
  reg_key top;
  hive_error e;
  if (sim::load_hive(root, top, e) != 0) return hive_failure(e);
  const reg_key* k = top.find(path);
  if (k == nullptr) {
    std::fputs(not_found, stderr);
    return 1;
  }
  path = stored_path(top, path);
  const bool recursive = cl.has("s");
  const bool exact = cl.has("x");
  const std::string default_name;
  const std::string* value_name = cl.has("ve") ? &default_name : cl.find("v");

  if (value_name == nullptr && !recursive) {
    query_walk walk{root, nullptr, exact};
    walk.key(*k, path, false);
    if (!k->values().empty() && !k->subkeys().empty()) std::printf("\n");
    for (const reg_key& sub : k->subkeys()) {
      path.push_back(sub.name());
      std::printf("%s\n", sim::full_key_name(root, path).c_str());
      path.pop_back();
    }
    return 0;
  }
  if (value_name != nullptr && !recursive) {
    const reg_value* v = k->find_value(*value_name);
    if (v == nullptr && !value_name->empty()) {
      std::fputs(not_found, stderr);
      return 1;
    }
    std::printf("\n%s\n", sim::full_key_name(root, path).c_str());
    if (v != nullptr) {
      print_value(*v, exact);
    } else {
      std::printf("    (Default)    REG_SZ    (value not set)\n");
    }
    std::printf("\n");
    return 0;
  }
  query_walk walk{root, value_name, exact};
  walk.key(*k, path, true);
  if (value_name != nullptr) {
    std::printf("\nEnd of search: %d match(es) found.\n", walk.matches);
    return walk.matches > 0 ? 0 : 1;
  }
  return 0;
}

struct type_spec {
  const char* name;
  std::uint32_t type;
};

constexpr type_spec add_types[] = {
    {"REG_SZ", win::reg_sz},       {"REG_EXPAND_SZ", win::reg_expand_sz}, {"REG_DWORD", win::reg_dword},
    {"REG_QWORD", win::reg_qword}, {"REG_BINARY", win::reg_binary},       {"REG_MULTI_SZ", win::reg_multi_sz},
};

// Decimal, or hex after 0x; no sign, nothing after the digits, at most `max`.
bool parse_number(const std::string& text, std::uint64_t max, std::uint64_t& out) {
  std::string_view digits = text;
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
    base = 16;
  }
  if (digits.empty()) return false;
  std::uint64_t n = 0;
  for (char c : digits) {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0 || n > (max - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base)) return false;
    n = n * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
  }
  out = n;
  return true;
}

// The bytes that /t and /d give, or a message saying why they give none.
std::optional<std::string> encode_data(std::uint32_t type, const std::string& text, const std::string& separator,
                                       std::vector<std::uint8_t>& out) {
  out.clear();
  switch (type) {
    case win::reg_dword:
    case win::reg_qword: {
      const bool dword = type == win::reg_dword;
      std::uint64_t n = 0;
      if (text.empty()) n = 0;
      if (!text.empty() && !parse_number(text, dword ? 0xFFFFFFFFULL : ~0ULL, n)) {
        return "'" + text + "' is not a " + (dword ? "REG_DWORD" : "REG_QWORD") +
               " number (decimal, or hex after 0x, without a sign).";
      }
      for (int i = 0; i < (dword ? 4 : 8); ++i) out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
      return std::nullopt;
    }
    case win::reg_binary:
      if (text.size() % 2 != 0) return "REG_BINARY data takes an even number of hex digits.";
      for (std::size_t i = 0; i < text.size(); i += 2) {
        std::uint64_t b = 0;
        if (!parse_number("0x" + text.substr(i, 2), 0xFF, b)) return "'" + text + "' is not hex digits.";
        out.push_back(static_cast<std::uint8_t>(b));
      }
      return std::nullopt;
    case win::reg_multi_sz: {
      std::size_t start = 0;
      while (!text.empty()) {
        const std::size_t cut = text.find(separator, start);
        const std::string item = text.substr(start, cut == std::string::npos ? std::string::npos : cut - start);
        if (item.empty()) return std::string("REG_MULTI_SZ data may not hold an empty string.");
        out.insert(out.end(), item.begin(), item.end());
        out.push_back(0);
        if (cut == std::string::npos) break;
        start = cut + separator.size();
      }
      out.push_back(0);
      return std::nullopt;
    }
    default:
      out.assign(text.begin(), text.end());
      out.push_back(0);
      return std::nullopt;
  }
}

int run_add(const arguments& args) {
  command_line cl;
  if (split_command_line("add", args, {{"v", true}, {"ve", false}, {"t", true}, {"s", true}, {"d", true}, {"f", false}},
                         cl) != 0) {
    return 1;
  }
  if (cl.words.size() != 1) return syntax_error("add", "add takes one KEY.");
  if (selectors(cl) > 1) return syntax_error("add", "/v and /ve exclude each other.");
  const bool names_value = cl.has("v") || cl.has("ve");
  if (!names_value && (cl.has("t") || cl.has("d") || cl.has("s"))) {
    return syntax_error("add", "/t, /d and /s need the value named with /v NAME or /ve.");
  }
  hive_root root{};
  key_path path;
  if (parse_key("add", cl.words[0], root, path) != 0) return 1;
  const std::string name = cl.has("v") ? *cl.find("v") : std::string();
  if (!sim::valid_value_name(name)) return syntax_error("add", "a value name may not hold a control character.");
  std::uint32_t type = win::reg_sz;
  if (const std::string* t = cl.find("t"); t != nullptr) {
    const type_spec* found = nullptr;
    for (const type_spec& s : add_types) {
      if (sim::names_equal(*t, s.name)) found = &s;
    }
    if (found == nullptr) {
      return syntax_error("add", "'" + *t +
                                     "' is not a type of reg add: REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_QWORD, "
                                     "REG_BINARY or REG_MULTI_SZ.");
    }
    type = found->type;
  }
  std::string separator = "\\0";
  if (const std::string* s = cl.find("s"); s != nullptr) {
    if (type != win::reg_multi_sz) return syntax_error("add", "/s is the separator of REG_MULTI_SZ data only.");
    if (s->size() != 1) return syntax_error("add", "the /s separator is one character.");
    separator = *s;
  }
  std::vector<std::uint8_t> data;
  if (const std::optional<std::string> bad = encode_data(type, cl.has("d") ? *cl.find("d") : "", separator, data)) {
    return syntax_error("add", *bad);
  }

  sim::hive_lock lock;
  reg_key top;
  hive_error e;
  if (lock.acquire(e) != 0 || sim::load_hive(root, top, e) != 0) return hive_failure(e);
  bool created = false;
  reg_key& key = top.make(path, &created);
  if (names_value) {
    if (key.find_value(name) != nullptr && !cl.has("f")) {
      return failure("The value " + (name.empty() ? std::string("(Default)") : "'" + name + "'") +
                     " exists. Add /f to overwrite it (simhost reg does not ask).");
    }
    key.set_value(name, type, std::move(data));
  }
  if ((names_value || created) && sim::store_hive(root, top, e) != 0) return hive_failure(e);
  std::fputs(completed, stdout);
  return 0;
}

int run_delete(const arguments& args) {
  command_line cl;
  if (split_command_line("delete", args, {{"v", true}, {"ve", false}, {"va", false}, {"f", false}}, cl) != 0) {
    return 1;
  }
  if (cl.words.size() != 1) return syntax_error("delete", "delete takes one KEY.");
  if (selectors(cl) > 1) return syntax_error("delete", "/v, /ve and /va exclude each other.");
  hive_root root{};
  key_path path;
  if (parse_key("delete", cl.words[0], root, path) != 0) return 1;
  const bool whole_key = selectors(cl) == 0;
  if (whole_key && path.empty()) return failure("A root key cannot be deleted.");

  sim::hive_lock lock;
  reg_key top;
  hive_error e;
  if (lock.acquire(e) != 0 || sim::load_hive(root, top, e) != 0) return hive_failure(e);
  reg_key* key = top.find(path);
  const std::string name = cl.has("v") ? *cl.find("v") : std::string();
  if (key == nullptr || ((cl.has("v") || cl.has("ve")) && key->find_value(name) == nullptr)) {
    std::fputs(not_found, stderr);
    return 1;
  }
  if (!cl.has("f")) return failure("Deleting needs /f (simhost reg does not ask).");
  if (whole_key) {
    const std::string last = path.back();
    path.pop_back();
    top.find(path)->remove_subkey(last);
  } else if (cl.has("va")) {
    key->clear_values();
  } else {
    key->remove_value(name);
  }
  if (sim::store_hive(root, top, e) != 0) return hive_failure(e);
  std::fputs(completed, stdout);
  return 0;
}

int read_text_file(const std::string& path, std::string& out) {
  const platform::unique_file f(std::fopen(path.c_str(), "rb"));
  if (f == nullptr) return failure("Cannot open " + path + ": " + std::strerror(errno));
  char buf[65536];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) out.append(buf, n);
  if (std::ferror(f.get()) != 0) return failure("Cannot read " + path);
  return 0;
}

int run_import(const arguments& args) {
  command_line cl;
  if (split_command_line("import", args, {}, cl) != 0) return 1;
  if (cl.words.size() != 1) return syntax_error("import", "import takes one FILE.");
  std::string text;
  if (read_text_file(cl.words[0], text) != 0) return 1;
  std::vector<sim::reg_edit> edits;
  hive_error e;
  if (sim::parse_reg_text(text, edits, e) != 0) return failure(cl.words[0] + ": " + e.message);

  // Both hives are read before either is written, so that a hive that cannot
  // be read stops the import before it changes anything.
  sim::hive_lock lock;
  if (lock.acquire(e) != 0) return hive_failure(e);
  const hive_root roots[] = {hive_root::local_machine, hive_root::classes_root};
  reg_key tops[2];
  bool touched[2] = {false, false};
  for (int i = 0; i < 2; ++i) {
    for (const sim::reg_edit& edit : edits) touched[i] = touched[i] || edit.root == roots[i];
    if (touched[i] && sim::load_hive(roots[i], tops[i], e) != 0) return hive_failure(e);
  }
  for (int i = 0; i < 2; ++i) {
    if (!touched[i]) continue;
    sim::apply_edits(edits, roots[i], tops[i]);
    if (sim::store_hive(roots[i], tops[i], e) != 0) return hive_failure(e);
  }
  std::fputs(completed, stdout);
  return 0;
}

int run_export(const arguments& args) {
  command_line cl;
  if (split_command_line("export", args, {{"y", false}}, cl) != 0) return 1;
  if (cl.words.size() != 2) return syntax_error("export", "export takes a KEY and a FILE.");
  hive_root root{};
  key_path path;
  if (parse_key("export", cl.words[0], root, path) != 0) return 1;
  sim::hive_lock lock;
  reg_key top;
  hive_error e;
  if (lock.acquire(e) != 0 || sim::load_hive(root, top, e) != 0) return hive_failure(e);
  const reg_key* key = top.find(path);
  if (key == nullptr) {
    std::fputs(not_found, stderr);
    return 1;
  }
  const std::string& file = cl.words[1];
  std::error_code ec;
  if (std::filesystem::exists(file, ec) && !cl.has("y")) {
    return failure("The file " + file + " exists. Add /y to overwrite it (simhost reg does not ask).");
  }
  if (sim::write_file_atomically(file, sim::format_reg_text(root, stored_path(top, path), *key), e) != 0) {
    return hive_failure(e);
  }
  std::fputs(completed, stdout);
  return 0;
}

struct operation {
  const char* name;
  int (*run)(const arguments&);
};

constexpr operation operations[] = {
    {"query", run_query}, {"add", run_add}, {"delete", run_delete}, {"import", run_import}, {"export", run_export},
};

}  // namespace

int run_reg(const arguments& args) {
  if (args.empty()) {
    std::fprintf(stderr, "ERROR: Invalid syntax. Name an operation.\n%s", usage_text);
    return 1;
  }
  const std::string op = lower(args[0]);
  if (op == "/?" || op == "-?") {
    std::fputs(usage_text, stdout);
    return 0;
  }
  for (const operation& o : operations) {
    if (op != o.name) continue;
    for (std::size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "/?" || args[i] == "-?") {
        std::fputs(usage_text, stdout);
        return 0;
      }
    }
    const int rc = o.run(args);
    std::fflush(stdout);
    return rc;
  }
  std::fprintf(stderr, "ERROR: Invalid syntax. '%s' is not an operation of simhost reg.\n%s", args[0].c_str(),
               usage_text);
  return 1;
}

}  // namespace kvx::simhost
