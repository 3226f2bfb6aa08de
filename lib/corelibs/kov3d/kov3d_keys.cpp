// SPDX-License-Identifier: Apache-2.0
// Header and grid format files of three-dimensional datasets, and the
// descriptions of their header keys.
#include <kov/kov3d.h>

#include "kov3d_internal.h"
#include "kovlib_internal.h"
#include "streaminf.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kov3d {

int lookup(streaminf *r, const std::string &name, const char *type, void *dest, long room) {
  (void)kov::detail::kovstrpar_string(r, name.c_str()); // builds and checks the store
  if (r->hetch_queue != nullptr) {
    const int found = kov::detail::decode(r->hetch_queue, r->hqlen, name, type, dest, room);
    if (found != 0) return found;
  }
  if (r->tetch_queue == nullptr) return 0;
  return kov::detail::decode(r->tetch_queue, r->tqlen, name, type, dest, room);
}

std::optional<std::string> lookup_text(streaminf *r, const std::string &name) {
  return kov::detail::kovstrpar_string(r, name.c_str());
}

void copy_out(const std::string &text, char *dest, std::size_t room) {
  if (dest == nullptr || room == 0) return;
  const std::size_t keep = std::min(text.size(), room - 1);
  std::memcpy(dest, text.data(), keep);
  dest[keep] = '\0';
}

namespace {

struct KeyDescription {
  std::string name, type, fmt;
};

// Keys described by this process, by hff: an output's history cannot be read
// back, so its key descriptions are kept here.
std::map<std::string, std::map<int, KeyDescription>> &described() {
  static std::map<std::string, std::map<int, KeyDescription>> keys;
  return keys;
}

std::string expanded(const std::string &name, streaminf *record) {
  char *text = expand_info(name.c_str(), record);
  std::string result = text != nullptr ? text : name;
  std::free(text);
  return result;
}

// The two kinds of description file differ only in names and a few rules.
struct Kind {
  bool grid;
  const char *param;     // "hff" / "gff"
  const char *override;  // "hff_in" / "gff_in"
  const char *prefix;    // "hff_" / "gff_"
  const char *suffix;    // "@@" / "@@@@"
  const char *init_msg;  // init_3d not called
  const char *where_msg; // output header not in the current directory
};

// The messages keep their wording ("begining", "Headerr"): scripts match them as they stand.
const Kind kHff{false,
                "hff",
                "hff_in",
                "hff_",
                "@@",
                "kov_get_header_tag():must call init_3d at the begining of your kov3d program \n",
                "When stdout is not in the same directory you need to specify the Headerr Format "
                "file with hff on the command line"};
const Kind kGff{true,
                "gff",
                "gff_in",
                "gff_",
                "@@@@",
                "kov_get_grid_tag():must call init_3d at the begining of your kov3d program \n",
                "When stdout is not in the same directory you need to specify the Grid Format "
                "file with gff on the command line"};

std::optional<std::string> &slot(streaminf *r, const Kind &kind) {
  return kind.grid ? r->gridformatfile : r->headerformatfile;
}

int put_format_tag(const Kind &kind, const char *tag, const char *name);

// A description file named in the record's history, resolved as every
// file name a history records.
std::optional<std::string> history_file(streaminf *r, const Kind &kind) {
  auto value = lookup_text(r, kind.param);
  if (value) value = kov::detail::history_name(r, *value);
  return value;
}

// The name derived for an output that names no description file itself.
std::string derived_name(streaminf *r, const Kind &kind) {
  std::string name;
  if (r->tagname == "out" && !r->isapipe &&
      !(r->headfile != nullptr && isapipe(::fileno(r->headfile)) == 1)) {
    std::vector<char> found(4096, '\0');
    const int fd = r->headfile != nullptr ? ::fileno(r->headfile) : -1;
    if (fd < 0 || findnm(fd, found.data(), static_cast<int>(found.size())) <= 0)
      koverr("%s", kind.where_msg);
    name = found.data();
  } else if (r->tagname == "out") {
    static bool seeded = false;
    if (!seeded) std::srand(static_cast<unsigned>(std::time(nullptr)));
    seeded = true;
    std::vector<char> path(4096, '\0');
    datapath(path.data());
    name = format("%s%s%d", path.data(), kind.prefix, std::rand());
  } else {
    name = r->headername;
  }
  return name + kind.suffix;
}

int find_format_tag(const Kind &kind, const char *tag, std::string &name) {
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  if (r == nullptr) return 1;
  if (const auto &known = slot(r, kind)) {
    if (kind.grid && known->starts_with("-1")) return 2;
    name = *known;
    return 0;
  }
  if (r->entrytype == STREAMINOUT) {
    if (auto value = history_file(r, kind)) {
      name = kind.grid ? expanded(*value, r) : *value;
      slot(r, kind) = name;
      return 0;
    }
  }
  if (r->entrytype == STREAMIN) {
    std::optional<std::string> value = history_file(r, kind);
    if (auto given = kov::detail::getch_string(kind.override)) value = std::move(given);
    if (!value || value->starts_with("-1")) return 2;
    if (r->tagname == "in") koverr("%s", kind.init_msg);
    name = expanded(*value, r);
    slot(r, kind) = name;
    auxin(value->c_str());
    return 0;
  }
  std::string chosen;
  if (auto given = kov::detail::getch_string(kind.param))
    chosen = *given;
  else
    chosen = derived_name(r, kind);
  put_format_tag(kind, tag, chosen.c_str());
  name = kind.grid ? chosen : expanded(chosen, nullptr);
  return 0;
}

int put_format_tag(const Kind &kind, const char *tag, const char *name) {
  streaminf *r = tag_info(tag, TAG_OUT);
  // An input's description files come from its history: refused before
  // anything is written.
  if (r->entrytype == STREAMIN)
    koverr(kind.grid ? "Can not call kov_put_grid_format_tag for STREAMIN tag \n"
                     : "Can not call kov_put_header_format_tag for STREAMIN tag \n");
  require_open_history(tag, kind.grid);
  slot(r, kind) = name;
  auxputch(kind.param, "s", kov::detail::written_name(name).c_str(), tag);
  switch (r->entrytype) {
  case STREAMOUT:
    auxout(name);
    if (kov_tag_is_pipe(tag) == 1) {
      watch_output();
      // The stream stays usable; the content reaches the reader when out's
      // history ends.  A file the user named stays where it is.
      if (streaminf *f = tag_info(name, TAG_INQUIRE);
          f != nullptr && !named_by_user(kind.grid, name))
        ::unlink(expanded(f->headername, nullptr).c_str());
    }
    break;
  case STREAMINOUT:
    auxscr(name);
    break;
  case STREAMSOCKOUT:
    if (!kind.grid) auxscr(name);
    break;
  case STREAMSCR:
    if (kind.grid) auxscr(name);
    break;
  case STREAMIN:
    break;
  }
  if (kind.grid) set_format(name, "xdr_int");
  return 0;
}

void bind_input(const Kind &kind, streaminf *in) {
  std::optional<std::string> name = kov::detail::getch_string(kind.override);
  if (!name) name = history_file(in, kind);
  if (!name) return;
  if (kind.grid ? name->starts_with("-1") : *name == "-1") return;
  if (slot(in, kind))
    koverr(kind.grid ? "gridformatfile already set in structure init_3d should be the first call "
                       "in a kov3d program \n"
                     : "headerformatfile already set in structure init_3d should be the first "
                       "call in a kov3d program \n");
  slot(in, kind) = expanded(*name, in);
  auxin(name->c_str());
  if (kind.grid && make_unpipe(name->c_str()) != 0) koverr("trouble unpiping the grid \n");
}

} // namespace

bool named_by_user(bool grid, const std::string &name) {
  const auto given = kov::detail::getch_string(grid ? kGff.param : kHff.param);
  return given && *given == name;
}

int find_hff(const char *tag, std::string &name) { return find_format_tag(kHff, tag, name); }
int find_gff(const char *tag, std::string &name) { return find_format_tag(kGff, tag, name); }

std::optional<std::string> written_key(const std::string &hff, int index, int attribute) {
  const auto &keys = described();
  const auto file = keys.find(hff);
  if (file == keys.end()) return std::nullopt;
  const auto key = file->second.find(index);
  if (key == file->second.end()) return std::nullopt;
  return attribute == 0 ? key->second.name : attribute == 1 ? key->second.type : key->second.fmt;
}

void remember_key(const std::string &hff, int index, const std::string &name,
                  const std::string &type, const std::string &fmt) {
  described()[hff][index] = {name, type, fmt};
}

} // namespace kov3d

namespace {

bool known_type(const char *type) {
  return std::strcmp(type, "scalar_float") == 0 || std::strcmp(type, "scalar_int") == 0;
}

// One attribute (0 name, 1 type, 2 format) of a key, from this process's
// descriptions or the hff's history.
int key_attribute(const char *tag, int index, int attribute, char *dest, std::size_t room) {
  std::string hff;
  if (const int code = kov3d::find_hff(tag, hff); code != 0) return code;
  if (auto value = kov3d::written_key(hff, index, attribute)) {
    kov3d::copy_out(*value, dest, room);
    return 0;
  }
  static const char *const kNames[] = {"hdrkey%d", "hdrtype%d", "hdrfmt%d"};
  const std::string name = kov3d::format(kNames[attribute], index);
  std::vector<char> text(room > 0 ? room : 1, '\0');
  const int found =
      kov3d::lookup(tag_info(hff.c_str(), TAG_IN), name, "s", text.data(), static_cast<long>(room));
  if (found < 0) return found;
  if (found == 0) return -1;
  kov3d::copy_out(text.data(), dest, room);
  return 0;
}

} // namespace

extern "C" void init_3d(void) {
  streaminf *in = tag_info("in", TAG_INQUIRE);
  if (in == nullptr) in = tag_info("in", TAG_IN);
  if (in == nullptr) return;
  kov3d::bind_input(kov3d::kHff, in);
  kov3d::bind_input(kov3d::kGff, in);
}

extern "C" int kov_put_header_format_tag(const char *tag, const char *name) {
  return kov3d::put_format_tag(kov3d::kHff, tag, name);
}

extern "C" int kov_put_grid_format_tag(const char *tag, const char *name) {
  return kov3d::put_format_tag(kov3d::kGff, tag, name);
}

extern "C" int kov_get_header_format_tag(const char *tag, char **name) {
  std::string found;
  const int code = kov3d::find_hff(tag, found);
  if (code == 0) *name = kov::detail::heap_copy(found);
  return code;
}

extern "C" int kov_get_grid_format_tag(const char *tag, char **name) {
  std::string found;
  const int code = kov3d::find_gff(tag, found);
  if (code == 0) *name = kov::detail::heap_copy(found);
  return code;
}

extern "C" int fget_header_format_tag(const char *tag, char *name) {
  std::string found;
  const int code = kov3d::find_hff(tag, found);
  if (code == 0) kov3d::copy_out(found, name, KOV3D_TAG_ROOM);
  return code;
}

extern "C" int fget_grid_format_tag(const char *tag, char *name) {
  std::string found;
  const int code = kov3d::find_gff(tag, found);
  if (code == 0) kov3d::copy_out(found, name, KOV3D_TAG_ROOM);
  return code;
}

extern "C" int kov_put_number_keys(const char *tag, const int *n_keys) {
  std::string hff;
  if (const int code = kov3d::find_hff(tag, hff); code != 0) return code;
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  const int n = std::max(*n_keys, 0);
  r->key_bytes.resize(static_cast<std::size_t>(n), 4);
  r->n_key = n;
  auxputch("n1", "d", &n, hff.c_str());
  return 0;
}

extern "C" int kov_get_number_keys(const char *tag, int *n_keys) {
  std::string hff;
  if (const int code = kov3d::find_hff(tag, hff); code != 0) {
    *n_keys = 0;
    return code;
  }
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  if (r->n_key == -1) {
    if (r->entrytype == STREAMOUT)
      koverr("get_number_keys:Can not get number of keys from STREAMOUT \n");
    streaminf *h = tag_info(hff.c_str(), TAG_IN);
    int n = 0;
    if (kov3d::lookup(h, "n1", "d", &n, 1) <= 0)
      koverr("\n kov_get_number_keys: Must specify n1 in %s\n", hff.c_str());
    r->n_key = std::max(n, 0);
    r->key_bytes.assign(static_cast<std::size_t>(r->n_key), 4);
    for (int k = 1; k <= r->n_key; ++k) {
      const std::string name = kov3d::format("hdrtype%d", k);
      std::vector<char> type(KOV3D_KEY_TYPE_ROOM, '\0');
      if (kov3d::lookup(h, name, "s", type.data(), KOV3D_KEY_TYPE_ROOM) <= 0)
        koverr("\n kov_get_number_keys: Must specify %s in %s\n", name.c_str(), hff.c_str());
      if (!known_type(type.data())) return -1;
    }
  }
  *n_keys = r->n_key;
  return 0;
}

extern "C" int kov_put_key(const char *tag, const char *key_name, const char *key_type,
                           const char *key_fmt, const int *key_index) {
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  if (r == nullptr) return 1;
  if (r->n_key == -1) koverr("kov_put_key:must call kov_put_number_keys before kov_put_key\n");
  const int index = *key_index;
  if (index < 1 || index > r->n_key)
    koverr("kov_put_key:invalid key number (outside 1 < key_index[%d] < n_key[%d])\n", index,
           r->n_key);
  if (!known_type(key_type))
    koverr("put_key:Unrecognized key_type=%s keyname=%s \n", key_type, key_name);
  r->key_bytes[static_cast<std::size_t>(index - 1)] = 4;
  std::string hff;
  if (const int code = kov3d::find_hff(tag, hff); code != 0) return code;
  const std::string name = kov3d::format("\t hdrkey%d=\"%s\"    hdrtype%d=\"%s\"   hdrfmt%d", index,
                                         key_name, index, key_type, index);
  auxputch(name.c_str(), "s", key_fmt, hff.c_str());
  kov3d::remember_key(hff, index, key_name, key_type, key_fmt);
  return 0;
}

extern "C" int kov_get_key_index(const char *tag, const char *key_name, int *key_index) {
  int n = 0;
  if (const int code = kov_get_number_keys(tag, &n); code != 0) return code;
  std::string hff;
  if (const int code = kov3d::find_hff(tag, hff); code != 0) return code;
  std::vector<char> name(KOV3D_KEY_NAME_ROOM, '\0');
  for (int k = 1; k <= n; ++k) {
    if (key_attribute(tag, k, 0, name.data(), name.size()) == 0 &&
        std::strcmp(name.data(), key_name) == 0) {
      *key_index = k;
      return 0;
    }
  }
  *key_index = 0;
  return 3;
}

extern "C" int kov_get_key_name(const char *tag, const int *key_index, char *key_name) {
  return key_attribute(tag, *key_index, 0, key_name, KOV3D_KEY_NAME_ROOM);
}

extern "C" int kov_get_key_type(const char *tag, const int *key_index, char *key_type) {
  return key_attribute(tag, *key_index, 1, key_type, KOV3D_KEY_TYPE_ROOM);
}

extern "C" int kov_get_key_fmt(const char *tag, const int *key_index, char *key_fmt) {
  return key_attribute(tag, *key_index, 2, key_fmt, KOV3D_KEY_TYPE_ROOM);
}

extern "C" int kov_get_key_first_byte(const char *tag, const int *key_index, int *first_byte) {
  int n = 0;
  if (const int code = kov_get_number_keys(tag, &n); code != 0) return code;
  if (*key_index > n + 1) koverr("\n kov_get_key_first_byte key_index > n_keys");
  const streaminf *r = tag_info(tag, TAG_INQUIRE);
  int byte = 0;
  for (int k = 1; k < *key_index; ++k) byte += r->key_bytes[static_cast<std::size_t>(k - 1)];
  *first_byte = byte;
  return 0;
}

extern "C" int kov_get_header_bytes(const char *tag, int *n_bytes) {
  int n = 0;
  if (const int code = kov_get_number_keys(tag, &n); code != 0) return code;
  const streaminf *r = tag_info(tag, TAG_INQUIRE);
  int total = 0;
  for (const int size : r->key_bytes) total += size;
  *n_bytes = total;
  return 0;
}
