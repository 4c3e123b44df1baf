// The ring reader on files made as hbalogd makes them: every entry the ring
// still holds comes out once, in the order of writing, with its fields; a
// partly overwritten one is a fragment; damage is said and the rest still read.
#include "kvxlog/log_ring.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "kvxlog/entry_output.h"
#include "kvxlog/options.h"
#include "kvxlog/program.h"
#include "tests/kvxlog/ring_model.h"

namespace kvx::kvxlog {
namespace {

using test::entry_parts;
using test::ring_model;

std::vector<const ring_item*> whole_items(const ring_contents& ring) {
  std::vector<const ring_item*> out;
  for (const ring_item& item : ring.items) {
    if (item.whole) out.push_back(&item);
  }
  return out;
}

std::string detail_hex(const std::string& file, const ring_item& item) {
  std::string hex;
  if (item.fields.detail_dump) append_dump_hex(hex, file, *item.fields.detail_dump);
  return hex;
}

/// Entries of every kind and length: with a detail dump of 16 to 1024 bytes,
/// refused releases (a FELM line), without detail data, without a record.
entry_parts random_entry(std::mt19937& rng, std::uint32_t number, int& second) {
  entry_parts e;
  second += static_cast<int>(rng() % 2);  // some entries share their second
  char written[32];
  std::snprintf(written, sizeof written, "20261207 14%02d%02d", (second / 60) % 60, second % 60);
  e.written = written;
  e.record = number;
  switch (rng() % 5) {
    case 0:
      e.detail.reset();
      break;
    case 1:
      e.refused_slot = static_cast<int>(rng() % 16);
      break;
    case 2:
      e.record.reset();
      break;
    default:
      break;
  }
  if (e.detail) {
    e.detail->assign(16 + rng() % 1009, static_cast<std::uint8_t>(number));
    (*e.detail)[0] = static_cast<std::uint8_t>(number >> 8);
  }
  return e;
}

TEST(LogRing, EveryEntryTheRingHoldsComesOutOnceInTheOrderOfWriting) {
  for (int max_record_count : {3, 7, 1, -1, 0}) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
      std::mt19937 rng(seed);
      ring_model model(max_record_count);
      int second = 0;
      const int writes = 5 + static_cast<int>(rng() % 40);
      for (int i = 1; i <= writes; ++i) model.write(random_entry(rng, static_cast<std::uint32_t>(i), second));

      const std::string& file = model.file();
      const ring_contents ring = read_ring(file);
      const auto held = model.held();
      const auto whole = whole_items(ring);
      const std::string where = "max " + std::to_string(max_record_count) + " seed " + std::to_string(seed);
      EXPECT_TRUE(ring.problems.empty()) << where << ": " << ring.problems.front();
      ASSERT_EQ(whole.size(), held.size()) << where;
      for (std::size_t i = 0; i < held.size(); ++i) {
        const ring_item& item = *whole[i];
        const entry_parts& parts = held[i].parts;
        EXPECT_EQ(item.offset, held[i].offset) << where << " entry " << i;
        EXPECT_EQ(item.length, held[i].text.size()) << where;
        EXPECT_EQ(item.fields.record, parts.record) << where;
        EXPECT_EQ(item.fields.written, parts.written) << where;
        EXPECT_EQ(item.fields.refused_slot, parts.refused_slot) << where;
        EXPECT_EQ(detail_hex(file, item), parts.detail ? test::hex_of(*parts.detail) : "") << where;
      }
      // Whatever is not a whole entry is shown as a fragment: the items, the
      // marker and the blanks of wrapped markers cover the file from the
      // header on, each byte once.
      std::vector<std::pair<std::size_t, std::size_t>> spans;
      for (const ring_item& item : ring.items) spans.emplace_back(item.offset, item.length);
      ASSERT_TRUE(ring.marker) << where;
      spans.emplace_back(*ring.marker, end_marker.size());
      std::sort(spans.begin(), spans.end());
      std::size_t at = header_size;
      for (auto [offset, length] : spans) {
        ASSERT_GE(offset, at) << where << ": items overlap";
        EXPECT_EQ(file.substr(at, offset - at).find_first_not_of(' '), std::string::npos) << where;
        at = offset + length;
      }
      EXPECT_EQ(file.substr(at).find_first_not_of(' '), std::string::npos) << where;
    }
  }
}

TEST(LogRing, LapsBehindTheMarkerAreOrderedByTheirTimeOfWriting) {
  // Three laps of one entry each (max 1), each shorter than the one before:
  // behind the newest lap's marker stand what is left of both older ones,
  // the newer of them nearer the marker.
  ring_model model(1);
  entry_parts e;
  e.detail->assign(512, 0x33);
  e.record = 1;
  e.written = "20261207 140001";
  model.write(e);
  e.detail->assign(300, 0x44);
  e.record = 2;
  e.written = "20261207 140002";
  model.write(e);
  e.detail->assign(16, 0x55);
  e.record = 3;
  e.written = "20261207 140003";
  model.write(e);
  const ring_contents ring = read_ring(model.file());
  // Only the newest is whole; the fragments of lap 1 come before those of lap 2.
  ASSERT_EQ(whole_items(ring).size(), 1u);
  ASSERT_EQ(ring.items.size(), 3u);
  EXPECT_FALSE(ring.items[0].whole);
  EXPECT_FALSE(ring.items[1].whole);
  EXPECT_GT(ring.items[0].offset, ring.items[1].offset) << "the older lap stands further back";
  EXPECT_EQ(ring.items[2].fields.record, 3u);
  EXPECT_TRUE(ring.problems.empty());

  // Laps with whole entries, the clock set back between them (as at the end
  // of daylight saving time): the order is still that of writing.
  ring_model two(2);
  for (auto [n, when, size] : {std::tuple{1u, "20261207 160000", 900},
                               {2u, "20261207 160001", 900},
                               {3u, "20261207 150002", 300},
                               {4u, "20261207 150003", 300},
                               {5u, "20261207 090000", -1},
                               {6u, "20261207 090001", -1}}) {
    entry_parts s;
    s.record = n;
    s.written = when;
    if (size < 0) {
      s.detail.reset();
    } else {
      s.detail->assign(static_cast<std::size_t>(size), 0x66);
    }
    two.write(s);
  }
  const ring_contents laps = read_ring(two.file());
  const auto whole = whole_items(laps);
  std::vector<std::uint32_t> order;
  for (const ring_item* item : whole) order.push_back(*item->fields.record);
  EXPECT_EQ(order, (std::vector<std::uint32_t>{2, 4, 5, 6}));
}

TEST(LogRing, AnEntryThatLostItsUngettableLinesIsAFragment) {
  // Lap 1: an entry whose detail request failed ("DETAIL DATA WAS ...").
  // Lap 2's marker ends inside those lines: the rest is not shown as whole.
  entry_parts first;
  first.record = 1;
  first.detail.reset();
  first.last_error = 0x15;
  entry_parts second = first;
  second.record = 2;
  const std::string one = test::entry_text(first);
  const std::string two = test::entry_text(second);
  // A lap-2 entry that, with its marker, ends 10 bytes into lap 1's second entry.
  entry_parts filler;
  filler.record = 3;
  filler.detail.reset();
  std::string lap2 = test::entry_text(filler);
  const std::size_t target = one.size() + 10 - 18;
  ASSERT_LT(lap2.size(), target);
  filler.error_name.append(target - lap2.size(), 'X');
  lap2 = test::entry_text(filler);
  ASSERT_EQ(lap2.size(), target);
  std::string file =
      test::header_line(1, 16 + lap2.size()) + lap2 + "--- end of log ---" + two.substr(10) + "                  ";
  const ring_contents ring = read_ring(file);
  ASSERT_EQ(ring.items.size(), 3u);
  EXPECT_FALSE(ring.items[0].whole) << "what is left of \"DETAIL DATA WAS\"";
  EXPECT_FALSE(ring.items[1].whole) << "the rest of that entry, from its record header";
  EXPECT_EQ(ring.items[2].fields.record, 3u);
  // With the lines whole it is an entry like any other.
  file = test::header_line(1, 16 + lap2.size()) + lap2 + "--- end of log ---" + two + "                  ";
  const ring_contents with_lines = read_ring(file);
  const auto whole = whole_items(with_lines);
  ASSERT_EQ(whole.size(), 2u);
  EXPECT_EQ(whole[0]->fields.detail_last_error, 0x15u);
}

TEST(LogRing, DamagedFilesGiveTheWholeEntriesAndSayWhatIsWrong) {
  ring_model model(0);
  for (std::uint32_t n = 1; n <= 4; ++n) {
    entry_parts e;
    e.record = n;
    model.write(e);
  }
  const std::string good = model.file();
  const auto held = model.held();
  auto records = [](const ring_contents& ring) {
    std::vector<std::uint32_t> out;
    for (const ring_item* item : whole_items(ring)) out.push_back(item->fields.record.value_or(0));
    return out;
  };
  auto says = [](const ring_contents& ring, const std::string& part) {
    for (const std::string& p : ring.problems) {
      if (p.find(part) != std::string::npos) return true;
    }
    return false;
  };
  {  // Cut in the third entry.
    const ring_contents ring = read_ring(std::string_view(good).substr(0, held[2].offset + 100));
    EXPECT_EQ(records(ring), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_TRUE(says(ring, "end marker is missing")) << ring.problems.size();
    EXPECT_TRUE(says(ring, "are not a whole entry"));
  }
  {  // Header edited: count and offset wrong, then not numbers at all.
    std::string file = good;
    file.replace(0, 16, test::header_line(9, 1234));
    ring_contents ring = read_ring(file);
    EXPECT_EQ(records(ring), (std::vector<std::uint32_t>{1, 2, 3, 4}));
    EXPECT_TRUE(says(ring, "the header counts 9 entries since the last wrap, the file holds 4"));
    EXPECT_TRUE(says(ring, "the header gives offset 1234"));
    file.replace(0, 16, "   x    garbage\r\n");
    ring = read_ring(file);
    EXPECT_EQ(records(ring), (std::vector<std::uint32_t>{1, 2, 3, 4}));
    EXPECT_TRUE(says(ring, "the header cannot be read"));
  }
  {  // Garbage between the second and the third entry.
    std::string file = good;
    file.insert(held[2].offset, "\x01garbage\r\n");
    const ring_contents ring = read_ring(file);
    EXPECT_EQ(records(ring), (std::vector<std::uint32_t>{1, 2, 3, 4}));
    EXPECT_TRUE(says(ring, "10 bytes at offset " + std::to_string(held[2].offset) + " are not a whole entry"));
  }
  {  // The marker missing: the header's offset still ends the ring.
    std::string file = good;
    file.replace(file.find("--- end of log ---"), 18, "xxxxxxxxxxxxxxxxxx");
    const ring_contents ring = read_ring(file);
    EXPECT_EQ(records(ring), (std::vector<std::uint32_t>{1, 2, 3, 4}));
    EXPECT_TRUE(says(ring, "the end marker is missing; the ring is taken to end at the header's offset"));
  }
  {  // A second marker in an entry's text is counted; the ring still ends at the header's.
    std::string file = good;
    const std::size_t marker = file.find("--- end of log ---");
    file.replace(file.find("LINK_DOWN", held[1].offset), 9, "--- end of log ---");
    file.replace(0, 16, test::header_line(4, marker + 9));
    const ring_contents ring = read_ring(file);
    EXPECT_EQ(records(ring), (std::vector<std::uint32_t>{1, 2, 3, 4}));
    EXPECT_TRUE(says(ring, "2 end markers; the ring ends at the one at offset " + std::to_string(marker + 9)));
    EXPECT_EQ(ring.problems.size(), 1u);
  }
  {  // Two markers that share their dashes: the search takes the first, whatever the header names.
    std::string file = good;
    const std::size_t marker = file.find("--- end of log ---");
    file.insert(marker, "--- end of log ");
    file.replace(0, 16, test::header_line(4, marker + 15));
    const ring_contents ring = read_ring(file);
    EXPECT_EQ(records(ring), (std::vector<std::uint32_t>{1, 2, 3, 4}));
    ASSERT_TRUE(ring.marker);
    EXPECT_EQ(*ring.marker, marker);
    EXPECT_TRUE(says(ring, "the header gives offset " + std::to_string(marker + 15) +
                               " for the end marker, which stands at offset " + std::to_string(marker)));
  }
  {  // A line of an entry changed: that entry is not whole, the others are.
    std::string file = good;
    file.replace(file.find("BUS NUMBER", held[1].offset), 3, "BOS");
    const ring_contents ring = read_ring(file);
    EXPECT_EQ(records(ring), (std::vector<std::uint32_t>{1, 3, 4}));
    EXPECT_FALSE(ring.problems.empty());
  }
  // A dump digit that is no lower-case hex digit, just outside each range.
  for (char c : std::string("/:`gAF \x80\xff")) {
    std::string file = good;
    const std::size_t line = file.find("0x0010(00016) : ", file.find("ERRLOG", held[1].offset));
    file[line + 16 + 9 + 3] = c;
    EXPECT_EQ(records(read_ring(file)), (std::vector<std::uint32_t>{1, 3, 4})) << static_cast<int>(c);
  }
  for (char c : std::string("09af")) {
    std::string file = good;
    const std::size_t line = file.find("0x0010(00016) : ", file.find("ERRLOG", held[1].offset));
    file[line + 16 + 9 + 3] = c;
    EXPECT_EQ(records(read_ring(file)), (std::vector<std::uint32_t>{1, 2, 3, 4})) << c;
  }
  EXPECT_FALSE(read_ring("   0").problems.empty());
}

TEST(KvxlogFilters, EachFilterAndTheLastN) {
  ring_model model(0);
  const char* names[] = {"LINK_DOWN", "FRAME_TIMEOUT", "LINK_DOWN", "PCI_PARITY_ERROR"};
  const char* levels[] = {"ERROR", "WARNING", "ERROR", "FATAL"};
  for (int i = 0; i < 4; ++i) {
    entry_parts e;
    e.record = static_cast<std::uint32_t>(i + 1);
    e.error_name = names[i];
    e.level = levels[i];
    e.written = "2026120" + std::to_string(5 + i) + " 120000";
    model.write(e);
  }
  auto shown = [&](std::vector<const char*> args) {
    args.insert(args.begin(), "kvxlog");
    options opts;
    std::string error;
    EXPECT_TRUE(parse_options(static_cast<int>(args.size()), args.data(), opts, error)) << error;
    opts.form = output_form::summary;
    file_state state{model.file(), {}};
    std::string out;
    std::string problems;
    show_file(state, file_label{"kvx0208.log", "0208"}, opts, out, problems);
    EXPECT_EQ(problems, "");
    std::string records;
    for (std::size_t at = 0; (at = out.find(" 0208 ", at)) != std::string::npos; ++at) {
      records += out.substr(at + 6, 1);
    }
    return records;
  };
  EXPECT_EQ(shown({}), "1234");
  EXPECT_EQ(shown({"-ERROR", "link_down"}), "13");
  EXPECT_EQ(shown({"/level:fatal"}), "4");
  EXPECT_EQ(shown({"-from", "2026-12-06", "-to", "2026-12-07"}), "23");
  EXPECT_EQ(shown({"-to=2026-12-06T11:59"}), "1");
  EXPECT_EQ(shown({"-last", "2"}), "34");
  EXPECT_EQ(shown({"-error", "LINK_DOWN", "-last", "1"}), "3");
  EXPECT_EQ(shown({"-location", "208"}), "1234");
  EXPECT_EQ(shown({"-location", "0510"}), "");
}

TEST(KvxlogOptions, BadSwitchesAndValuesAreRefused) {
  for (std::vector<const char*> args : std::vector<std::vector<const char*>>{{"-nosuch"},
                                                                             {"/nosuch"},
                                                                             {"-last"},
                                                                             {"-last", "x"},
                                                                             {"-from", "2026-13"},
                                                                             {"-location", "12345"},
                                                                             {"-json:1"}}) {
    args.insert(args.begin(), "kvxlog");
    options opts;
    std::string error;
    EXPECT_FALSE(parse_options(static_cast<int>(args.size()), args.data(), opts, error)) << args[1];
    EXPECT_NE(error.find("kvxlog -? shows the usage"), std::string::npos);
  }
  const char* paths[] = {"kvxlog", "/tmp/x/kvx0208.log", "-Json", "/FOLLOW", "/?"};
  options opts;
  std::string error;
  ASSERT_TRUE(parse_options(5, paths, opts, error)) << error;
  EXPECT_EQ(opts.files, std::vector<std::string>{"/tmp/x/kvx0208.log"});
  EXPECT_EQ(opts.form, output_form::json);
  EXPECT_TRUE(opts.follow);
  EXPECT_TRUE(opts.usage);
}

}  // namespace
}  // namespace kvx::kvxlog
