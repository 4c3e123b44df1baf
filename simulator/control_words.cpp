// The control words of the driver simulator (parsing, encoding, the usage
// text) and the requests that touch only an adapter's own state: the parts
// that need no simulated host, so the stand-in driver's tool uses them too.
#include <cctype>
#include <cstdio>

#include "adapter/byte_order.h"
#include "simulator/control.h"
#include "simulator/error_record.h"

namespace kvx::simulator {
namespace {

struct verb_name {
  const char* name;
  control_verb verb;
};

constexpr verb_name verbs[] = {
    {"inject", control_verb::inject},     {"fill", control_verb::fill}, {"busy", control_verb::busy},
    {"unplug", control_verb::unplug},     {"plug", control_verb::plug}, {"status", control_verb::status},
    {"released", control_verb::released}, {"stop", control_verb::stop},
};

bool parse_hex(const std::string& text, std::vector<std::uint8_t>& out) {
  std::vector<std::uint8_t> bytes;
  int high = -1;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == ' ' || c == ':' || c == '-') continue;
    if (std::isxdigit(c) == 0) return false;
    const int nibble = std::isdigit(c) != 0 ? c - '0' : std::tolower(c) - 'a' + 10;
    if (high < 0) {
      high = nibble;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | nibble));
      high = -1;
    }
  }
  if (high >= 0) return false;
  out = std::move(bytes);
  return true;
}

/// One option with its value: "--name VALUE" or "--name=VALUE".
struct option_reader {
  const std::vector<std::string>& words;
  std::size_t next = 1;

  bool more() const { return next < words.size(); }
  bool take(std::string& name, std::string& value, bool& has_value, std::string& error) {
    const std::string& word = words[next++];
    if (word.rfind("--", 0) != 0) {
      error = "unexpected argument '" + word + "'";
      return false;
    }
    has_value = false;
    if (const std::size_t eq = word.find('='); eq != std::string::npos) {
      name = word.substr(2, eq - 2);
      value = word.substr(eq + 1);
      has_value = true;
    } else {
      name = word.substr(2);
    }
    return true;
  }
  bool value_for(const std::string& name, std::string& value, bool& has_value, std::string& error) {
    if (has_value) return true;
    if (!more()) {
      error = "--" + name + " needs a value";
      return false;
    }
    value = words[next++];
    has_value = true;
    return true;
  }
};

/// Which options each verb takes.
bool takes(control_verb verb, const std::string& option) {
  switch (verb) {
    case control_verb::inject:
      return option == "port" || option == "error" || option == "slot" || option == "status" || option == "data" ||
             option == "key-offset" || option == "event-id" || option == "no-fill";
    case control_verb::fill:
      return option == "port" || option == "slot" || option == "data";
    case control_verb::busy:
      return option == "port" || option == "count";
    case control_verb::unplug:
    case control_verb::plug:
    case control_verb::released:
      return option == "port";
    default:
      return false;
  }
}

/// Applies one option; the message for a person when its value is bad, else empty.
std::string apply_option(control_command& c, const std::string& name, const std::string& value) {
  std::uint64_t n = 0;
  if (name == "port") {
    if (!parse_number(value, 127, n)) return "--port takes a port number from 0 to 127";
    c.port = static_cast<int>(n);
  } else if (name == "error") {
    if (!parse_number(value, 255, n)) return "--error takes an error number from 0 to 255";
    c.error = static_cast<int>(n);
  } else if (name == "slot") {
    if (!parse_number(value, 15, n)) return "--slot takes a slot number from 0 to 15";
    c.slot = static_cast<int>(n);
  } else if (name == "status") {
    if (!parse_number(value, 0xFFFFFFFF, n)) return "--status takes a 32-bit number (e.g. 0xC0000000)";
    c.status_word = static_cast<std::uint32_t>(n);
  } else if (name == "data") {
    std::vector<std::uint8_t> bytes;
    if (!parse_hex(value, bytes) || bytes.size() > adapter::detail_slot_size) {
      return "--data takes up to 1024 bytes in hexadecimal (e.g. 0a0b0c)";
    }
    c.data = std::move(bytes);
  } else if (name == "key-offset") {
    if (!parse_number(value, static_cast<std::uint64_t>(max_key_offset), n)) {
      return "--key-offset takes a byte offset from 0 to " + std::to_string(max_key_offset);
    }
    c.key_offset = static_cast<std::int64_t>(n);
  } else if (name == "event-id") {
    if (!parse_number(value, 0xFFFFFFFF, n)) return "--event-id takes a 32-bit number";
    c.event_id = static_cast<std::uint32_t>(n);
  } else if (name == "count") {
    if (!parse_number(value, 0x7FFFFFFF, n)) return "--count takes a number of exchanges";
    c.count = static_cast<std::uint32_t>(n);
  }
  return {};
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

const char* const usage_text =
    "usage: kvxsim COMMAND [options]\n"
    "  kvxsim run --config FILE      serve the adapters of FILE until stopped\n"
    "  kvxsim wait [--timeout SECONDS]\n"
    "                                wait until a simulator answers (default 10 s)\n"
    "  kvxsim inject --port N --error E --slot S [--status WORD] [--data HEX]\n"
    "                [--key-offset N] [--event-id ID] [--no-fill]\n"
    "                                fill slot S, then write the driver's System-log record\n"
    "  kvxsim fill --port N --slot S [--data HEX]\n"
    "                                occupy slot S without a record\n"
    "  kvxsim busy --port N --count K\n"
    "                                answer the next K exchanges with ERROR_BUSY\n"
    "  kvxsim unplug --port N        make the port's device vanish (its port map entry stays)\n"
    "  kvxsim plug --port N          bring it back\n"
    "  kvxsim status                 each adapter's slots and open handles\n"
    "  kvxsim released --port N      the slots handed back, oldest first (the latest 4096),\n"
    "                                each with the first 16 bytes of its data\n"
    "  kvxsim stop                   end the running simulator\n"
    "The host root is $KVX_HOST_ROOT (default $HOME/.kvx-host).\n";

bool is_control_verb(const std::string& verb) {
  for (const verb_name& v : verbs) {
    if (verb == v.name) return true;
  }
  return false;
}

int parse_control(const std::vector<std::string>& words, control_command& out, std::string& error) {
  if (words.empty() || !is_control_verb(words[0])) {
    error = words.empty() ? "no command given" : "unknown command '" + words[0] + "'";
    return 1;
  }
  auto fail = [&error](std::string message) {
    error = std::move(message);
    return 1;
  };
  control_command c;
  for (const verb_name& v : verbs) {
    if (words[0] == v.name) c.verb = v.verb;
  }
  option_reader options{words};
  bool has_count = false;
  bool has_error = false;
  while (options.more()) {
    std::string name;
    std::string value;
    bool has_value = false;
    if (!options.take(name, value, has_value, error)) return 1;
    if (!takes(c.verb, name)) return fail(words[0] + " takes no option --" + name);
    if (name == "no-fill") {
      if (has_value) return fail("--no-fill takes no value");
      c.fill = false;
      continue;
    }
    if (!options.value_for(name, value, has_value, error)) return 1;
    if (std::string message = apply_option(c, name, value); !message.empty()) return fail(std::move(message));
    has_count = has_count || name == "count";
    has_error = has_error || name == "error";
  }
  const bool needs_port = c.verb != control_verb::status && c.verb != control_verb::stop;
  if (needs_port && c.port < 0) return fail(words[0] + " needs --port");
  if ((c.verb == control_verb::inject || c.verb == control_verb::fill) && c.slot < 0) {
    return fail(words[0] + " needs --slot");
  }
  if (c.verb == control_verb::busy && !has_count) return fail("busy needs --count");
  if (c.verb == control_verb::inject && !has_error) return fail("inject needs --error");
  if (!c.fill && c.data) return fail("--data fills the slot; it cannot go with --no-fill");
  out = std::move(c);
  return 0;
}

std::vector<std::uint8_t> encode_words(const std::vector<std::string>& words) {
  std::vector<std::uint8_t> out;
  put_u32(out, static_cast<std::uint32_t>(words.size()));
  for (const std::string& w : words) {
    put_u32(out, static_cast<std::uint32_t>(w.size()));
    out.insert(out.end(), w.begin(), w.end());
  }
  return out;
}

bool decode_words(std::span<const std::uint8_t> bytes, std::vector<std::string>& words) {
  std::size_t at = 0;
  auto next_u32 = [&](std::uint32_t& v) {
    if (bytes.size() - at < 4) return false;
    v = adapter::get_u32_le(bytes, at);
    at += 4;
    return true;
  };
  std::uint32_t count = 0;
  if (!next_u32(count) || count > bytes.size()) return false;
  std::vector<std::string> out;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t length = 0;
    if (!next_u32(length) || length > bytes.size() - at) return false;
    out.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                     bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
  }
  if (at != bytes.size()) return false;
  words = std::move(out);
  return true;
}

control_reply fill_detail_slot(adapter_state& adapter, const control_command& command) {
  const auto pattern = default_detail_data(0, command.slot);
  const std::span<const std::uint8_t> data = command.data ? std::span<const std::uint8_t>(*command.data) : pattern;
  if (!fill_slot(adapter, command.slot, data)) return {1, {}, "kvxsim: the slot cannot be filled\n"};
  return {};
}

std::string status_line(const adapter_state& adapter, int shared_handles, int exclusive_handles) {
  char head[200];
  std::snprintf(head, sizeof head,
                "port %d: location %04x, %s, open handles: %d shared, %d exclusive, busy answers left: %u, "
                "exchanges: %llu, occupied slots:",
                adapter.config.port, static_cast<unsigned>(adapter.config.pci_location & 0xFFFF),
                adapter.plugged ? "plugged" : "unplugged", shared_handles, exclusive_handles,
                static_cast<unsigned>(adapter.busy_left), static_cast<unsigned long long>(adapter.exchanges));
  std::string line = head;
  if (adapter.occupied == 0) line += " none";
  for (int k = 0; k < adapter::detail_slot_count; ++k) {
    // Appended in two steps: "a" + to_string() trips a false -Wrestrict in g++ 12 at -O3.
    if ((adapter.occupied & (1u << k)) != 0) line.append(" ").append(std::to_string(k));
  }
  return line + "\n";
}

std::string released_lines(const adapter_state& adapter) {
  std::string lines;
  for (const released_slot& r : adapter.released) {
    char line[64];
    int at = std::snprintf(line, sizeof line, "slot %d: ", r.slot);
    for (const std::uint8_t b : r.head)
      at += std::snprintf(line + at, sizeof line - static_cast<std::size_t>(at), "%02x", b);
    lines.append(line).append("\n");
  }
  return lines;
}

}  // namespace kvx::simulator
