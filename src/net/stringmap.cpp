#include "net/stringmap.h"

#include <new>

#include "misc/status.h"
#include "net/http_lib.h"
#include "store/threadstore.h"

namespace zmr {
namespace {

bool complete(const element& e) { return e.key.has_value() && e.value.has_value(); }

// Room for the bracketed log form; the joined form needs no more.
size_t logsize(const stringmap* map) {
  size_t n = 0;
  if (map == nullptr) return n;
  for (const element& e : map->elements) {
    if (complete(e)) n += e.key->size() + e.value->size() + 3;
  }
  return n;
}

}  // namespace

stringmap createstringmapwithvalues(std::string_view key, std::string_view value) {
  stringmap map;
  map.elements.push_back(element{std::string(key), std::string(value)});
  return map;
}

int addelement(stringmap& map, std::string_view key, std::string_view value) {
  try {
    map.elements.push_back(element{std::string(key), std::string(value)});
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  return kOk;
}

element* getlastelement(stringmap& map) { return map.elements.empty() ? nullptr : &map.elements.back(); }

const element* getelement(const stringmap* map, std::string_view key) {
  if (map == nullptr) return nullptr;
  for (const element& e : map->elements) {
    if (e.key && *e.key == key) return &e;
  }
  return nullptr;
}

element* getelement(stringmap* map, std::string_view key) {
  return const_cast<element*>(getelement(static_cast<const stringmap*>(map), key));
}

int getrawelementvalue(const stringmap* map, std::string_view key, std::string& out) {
  const element* e = getelement(map, key);
  if (e == nullptr || !e->value) return kMapNoElement;
  out = *e->value;
  return kOk;
}

int getelementvalue(const stringmap* map, std::string_view key, std::string& out) {
  const element* e = getelement(map, key);
  if (e == nullptr || !e->value) return kMapNoElement;
  return http_urlencode(*e->value, out);
}

int updateelement(stringmap& map, std::string_view key, std::string_view value) {
  element* e = getelement(&map, key);
  if (e == nullptr) return kMapNoElement;
  e->value = std::string(value);
  return kOk;
}

int updateelementkeyandvalue(stringmap& map, std::string_view key, std::string_view newkey, std::string_view value) {
  element* e = getelement(&map, key);
  if (e == nullptr) return kMapNoElement;
  e->key = std::string(newkey);
  e->value = std::string(value);
  return kOk;
}

int tologstring(const stringmap* map, std::string& out) {
  out.clear();
  if (map == nullptr) return kOk;
  out.reserve(logsize(map));
  for (const element& e : map->elements) {
    if (!complete(e)) continue;
    out += '[';
    out += *e.key;
    out += '=';
    out += *e.value;
    out += ']';
  }
  return kOk;
}

int tostring(const stringmap* map, std::string_view separator, std::string& out) {
  out.clear();
  if (map == nullptr) return kOk;
  size_t n = logsize(map);
  for (const element& e : map->elements) {
    if (complete(e)) n += separator.size();
  }
  out.reserve(n);
  for (const element& e : map->elements) {
    if (!complete(e)) continue;
    if (!out.empty()) out += separator;
    out += *e.key;
    out += '=';
    out += *e.value;
  }
  return kOk;
}

int tourlencodedstring(const stringmap* map, std::string& out) {
  out.clear();
  if (map == nullptr) return kOk;
  size_t n = 0;
  for (const element& e : map->elements) {
    if (complete(e)) n += (e.key->size() + e.value->size()) * 3 + 2;
  }
  out.reserve(n);
  std::string key, value;
  bool first = true;
  for (const element& e : map->elements) {
    if (!complete(e)) continue;
    int rc = http_urlencode(*e.key, key);
    if (rc == kOk) rc = http_urlencode(*e.value, value);
    if (rc != kOk) {
      out.clear();
      return rc;
    }
    if (!first) out += '&';
    first = false;
    out += key;
    out += '=';
    out += value;
  }
  return kOk;
}

int createstringmap(std::string_view text, std::string_view, int decodeflag, stringmap& out) {
  out.elements.clear();
  std::string decoded;
  std::string_view work = text;
  if (decodeflag != 0) {
    size_t eq = text.find('=');
    if (eq == std::string_view::npos || http_urldecode(text.substr(eq + 1), decoded) != 0) return 1;
    work = decoded;
  }
  std::string piece;
  splitformpairs(work, [&](std::string_view keytext, std::string_view valuetext) {
    element e;
    if (http_urldecode(keytext, piece) == 0) e.key = piece;
    if (http_urldecode(valuetext, piece) == 0) e.value = piece;
    out.elements.push_back(std::move(e));
  });
  return kOk;
}

int add_infoitem_to_map(int session, stringmap& map, std::string_view key, std::optional<std::string_view> defaultvalue,
                        int mandatory) {
  std::string value;
  int rc = popinfoitem(session, key, value);
  if (rc != kOk && rc != kNotFound) {
    setlasterror(session, "initsession::add_infoitem_to_map: Error attempting to fetch infoitem from sessionstore.\n");
    return rc;
  }
  if (rc == kNotFound) {
    if (!defaultvalue) {
      if (mandatory == 0) return kOk;
      setlasterror(session,
                   "initsession::add_infoitem_to_map: Infoitem not found and no default value for mandatory "
                   "parameter.\n");
      return kMapMandatory;
    }
    value = std::string(*defaultvalue);
  }
  rc = addelement(map, key, value);
  if (rc != kOk) {
    setlasterror(session, "initsession::add_infoitem_to_map: Error adding parameter to map.\n");
    return rc;
  }
  return kOk;
}

}  // namespace zmr
