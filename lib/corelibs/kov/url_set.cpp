// SPDX-License-Identifier: Apache-2.0
// Data sets of several objects: a data name that lists URLs separated by
// ';' (nfiles= with a datapath on a store).  Read, the objects are one run
// of bytes, each read through the URL back end of its own.  Written, each
// object is filled to its capacity (filesize= megabytes, as for files)
// before the next, each an upload of its own; every object of the list
// appears at the end, empty ones too, as every file of a local set is made.
#include "kovlib_internal.h"
#include "streaminf.h"
#include "url_io.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

namespace kov::detail {

namespace {

constexpr int kDefaultFileSize = 999999; // megabytes
constexpr int kMegabyteShift = 20;
constexpr int kMaxObjects = 1000;

struct Member {
  std::unique_ptr<streaminf> record;
  long long start = 0; // of its bytes in the set
  long long size = 0;  // read: the object's size; written: its capacity
  long long used = 0;  // written so far
};

struct UrlSet {
  std::vector<Member> members;
  bool writing = false;
  long long pos = 0;
  std::size_t active = 0; // the object being written
};

std::vector<std::string> split(const std::string &list) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= list.size()) {
    auto end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) names.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

// Capacities in bytes from the command-line list filesize= (megabytes);
// positions beyond the values given repeat the last one.
std::vector<long long> capacities(std::size_t n) {
  std::vector<int> megabytes(kMaxObjects, kDefaultFileSize);
  const int given =
      std::clamp(getch_bounded("filesize", "d", megabytes.data(), kMaxObjects), 0, kMaxObjects);
  const int fill = given > 0 ? megabytes[given - 1] : kDefaultFileSize;
  std::vector<long long> bytes(n);
  for (std::size_t i = 0; i < n; ++i) {
    const int mb = static_cast<int>(i) < given ? megabytes[i] : fill;
    if (mb < 1) koverr("filesize=%d: an object of a data set holds at least 1 megabyte\n", mb);
    bytes[i] = static_cast<long long>(mb) << kMegabyteShift;
  }
  return bytes;
}

UrlSet *state_of(streaminf *r, void *ioinf) {
  auto *s = static_cast<UrlSet *>(ioinf);
  if (s == nullptr) koverr("Invalid dataset for tag \"%s\"\n", r->tagname.c_str());
  return s;
}

int set_open(streaminf *r, void **ioinf) {
  const std::string list = r->dataname.value_or("");
  const std::vector<std::string> names = split(list);
  if (names.empty() || names.size() > static_cast<std::size_t>(kMaxObjects))
    koverr("%s: a data set of %zu objects for tag \"%s\"\n", list.c_str(), names.size(),
           r->tagname.c_str());
  for (const std::string &name : names)
    if (!is_url(name))
      koverr("%s: a data set mixes objects and files for tag \"%s\"\n", list.c_str(),
             r->tagname.c_str());
  auto set = std::make_unique<UrlSet>();
  set->writing = r->entrytype != STREAMIN;
  if (set->writing && r->entrytype != STREAMOUT && r->entrytype != STREAMSOCKOUT)
    koverr("%s: an object of a store cannot be read and written in place (tag \"%s\")\n",
           names.front().c_str(), r->tagname.c_str());
  const std::vector<long long> capacity =
      set->writing ? capacities(names.size()) : std::vector<long long>{};
  long long start = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    Member m;
    m.record = std::make_unique<streaminf>();
    streaminf &one = *m.record;
    one.tagname = r->tagname;
    one.entrytype = set->writing ? STREAMOUT : STREAMIN;
    one.dataname = names[i];
    one.iotype = URL_IO;
    if (set->writing)
      init_url_write_io(&one);
    else
      init_url_io(&one);
    if (one.open_func(&one, &one.ioinf) != 0)
      koverr("%s: cannot open it for tag \"%s\"\n", names[i].c_str(), r->tagname.c_str());
    m.start = start;
    m.size = set->writing ? capacity[i] : static_cast<long long>(one.size_func(&one, one.ioinf));
    start += m.size;
    set->members.push_back(std::move(m));
  }
  r->backseekable = set->writing ? 0 : 1;
  r->isapipe = 0;
  r->streamfd = -1;
  r->streamfile = nullptr;
  *ioinf = set.release(); // taken back by set_close
  return 0;
}

int set_close(streaminf *r, void *ioinf) {
  std::unique_ptr<UrlSet> set(static_cast<UrlSet *>(ioinf));
  if (r != nullptr && r->ioinf == ioinf) r->ioinf = nullptr;
  if (!set) return 0;
  int status = 0;
  for (Member &m : set->members)
    if (m.record->close_func(m.record.get(), m.record->ioinf) != 0) status = -1;
  return status;
}

long set_read(streaminf *r, void *ioinf, char *buffer, long nbytes) {
  UrlSet &set = *state_of(r, ioinf);
  if (set.writing)
    koverr("%s: an output on a store cannot be read back (tag \"%s\")\n",
           r->dataname.value_or("").c_str(), r->tagname.c_str());
  long done = 0;
  for (Member &m : set.members) {
    if (done >= nbytes) break;
    if (set.pos >= m.start + m.size || m.size == 0) continue;
    streaminf &one = *m.record;
    if (one.seek_func(&one, one.ioinf, set.pos - m.start, 0) < 0)
      koverr("%s: cannot go to byte %lld of it (tag \"%s\")\n", one.dataname->c_str(),
             set.pos - m.start, r->tagname.c_str());
    const long want =
        static_cast<long>(std::min<long long>(nbytes - done, m.start + m.size - set.pos));
    const long got = one.read_func(&one, one.ioinf, buffer + done, want);
    if (got <= 0) break;
    done += got;
    set.pos += got;
    if (got < want) break;
  }
  return done;
}

long set_write(streaminf *r, void *ioinf, const char *buffer, long nbytes) {
  UrlSet &set = *state_of(r, ioinf);
  long done = 0;
  while (done < nbytes) {
    if (set.active >= set.members.size())
      koverr("%s: the data set is full: its %zu objects hold no more for tag \"%s\" (nfiles=, "
             "filesize=)\n",
             r->dataname.value_or("").c_str(), set.members.size(), r->tagname.c_str());
    Member &m = set.members[set.active];
    const long long room = m.size - m.used;
    if (room <= 0) {
      ++set.active;
      continue;
    }
    const long take = static_cast<long>(std::min<long long>(room, nbytes - done));
    streaminf &one = *m.record;
    one.write_func(&one, one.ioinf, buffer + done, take);
    m.used += take;
    done += take;
    set.pos += take;
  }
  return done;
}

kov_off_t set_seek(streaminf *r, void *ioinf, kov_off_t offset, int whence) {
  UrlSet &set = *state_of(r, ioinf);
  long long total = 0;
  for (const Member &m : set.members) total += set.writing ? m.used : m.size;
  long long to = offset;
  if (whence == 1) to += set.pos;
  if (whence == 2) to += total;
  if (set.writing && to != set.pos)
    fail_url(ESPIPE, r->dataname.value_or(""),
             "an object of a store is written in order: cannot go to byte " + std::to_string(to) +
                 " of the data set (at " + std::to_string(set.pos) + ") for tag \"" + r->tagname +
                 "\"");
  if (to < 0) return -1;
  set.pos = to;
  return static_cast<kov_off_t>(to);
}

kov_file_size_t set_size(streaminf *r, void *ioinf) {
  UrlSet &set = *state_of(r, ioinf);
  long long total = 0;
  for (const Member &m : set.members) total += set.writing ? m.used : m.size;
  return static_cast<kov_file_size_t>(total);
}

} // namespace

void init_url_set_io(streaminf *r) {
  r->open_func = set_open;
  r->close_func = set_close;
  r->read_func = set_read;
  r->write_func = set_write;
  r->seek_func = set_seek;
  r->size_func = set_size;
}

} // namespace kov::detail
