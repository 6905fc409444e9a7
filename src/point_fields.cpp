#include "point_fields.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "zem_base.h"

namespace Zem {
namespace detail {

namespace {

bool isHard(char c, bool decimalComma) { return c == ';' || (c == ',' && !decimalComma); }

/// The end of the quoted text starting at p ('"'): the position after its
/// closing quote, or `end` when it is not closed. A doubled quote inside
/// does not close it.
const char* quotedEnd(const char* p, const char* end) {
  for (++p; p != end; ++p) {
    if (*p != '"') continue;
    if (p + 1 != end && p[1] == '"') {
      ++p;
      continue;
    }
    return p + 1;
  }
  return end;
}

/// Adds [first, last) as a field, quotes taken off.
void addField(const char* first, const char* last, Fields* out) {
  std::string_view field(first, std::size_t(last - first));
  if (field.size() >= 2 && field.front() == '"' && field.back() == '"') {
    field = field.substr(1, field.size() - 2);
    if (field.find("\"\"") != std::string_view::npos && out->count < kMaxFields) {
      std::string& text = out->unescaped[out->count];
      text.clear();
      for (std::size_t k = 0; k < field.size(); ++k) {
        text.push_back(field[k]);
        if (field[k] == '"' && k + 1 < field.size() && field[k + 1] == '"') ++k;
      }
      field = text;
    }
  }
  if (field.empty()) out->emptyField = true;
  if (out->count < kMaxFields) out->f[out->count] = field;
  ++out->count;
}

bool hasHardSeparator(const char* p, const char* end, bool decimalComma) {
  return holdsOutsideQuotes(p, end, ';') || (!decimalComma && holdsOutsideQuotes(p, end, ','));
}

}  // namespace

QString pointFileText(const char* text) { return translate("POINTFILE_err", text); }

QString quoted(std::string_view field) {
  constexpr std::size_t kShown = 40;
  QString text = QString::fromUtf8(field.data(), int(std::min(field.size(), kShown)));
  if (field.size() > kShown) text += QStringLiteral("...");
  return QLatin1Char('"') + text + QLatin1Char('"');
}

const char* commentStart(const char* p, const char* end) {
  while (p != end) {
    if (*p == '"') {
      p = quotedEnd(p, end);
    } else {
      if (*p == '#') return p;
      ++p;
    }
  }
  return nullptr;
}

bool holdsOutsideQuotes(const char* p, const char* end, char c) {
  while (p != end) {
    if (*p == '"') {
      p = quotedEnd(p, end);
    } else {
      if (*p == c) return true;
      ++p;
    }
  }
  return false;
}

void splitLine(const char* p, const char* end, bool decimalComma, Fields* out, char* separatorSeen) {
  out->count = 0;
  out->emptyField = false;
  if (hasHardSeparator(p, end, decimalComma)) {
    for (;;) {
      while (p != end && isBlank(*p)) ++p;
      const char* first = p;
      while (p != end && !isHard(*p, decimalComma)) p = *p == '"' ? quotedEnd(p, end) : p + 1;
      const char* last = p;
      while (last != first && isBlank(last[-1])) --last;
      if (p == end) {  // the last field; nothing after a trailing separator is no field
        if (last != first || out->count == 0) addField(first, last, out);
        return;
      }
      if (*separatorSeen == ' ' || *separatorSeen == '\t') *separatorSeen = *p;
      addField(first, last, out);  // an empty one is marked
      ++p;
      // One trailing separator is tolerated.
      const char* rest = p;
      while (rest != end && isBlank(*rest)) ++rest;
      if (rest == end) return;
    }
  }
  for (;;) {
    bool tab = false;  // a tab separates only between two fields
    for (; p != end && isBlank(*p); ++p) tab = tab || *p == '\t';
    if (p == end) return;
    if (tab && out->count > 0 && *separatorSeen == ' ') *separatorSeen = '\t';
    const char* first = p;
    while (p != end && !isBlank(*p)) p = *p == '"' ? quotedEnd(p, end) : p + 1;
    addField(first, p, out);
  }
}

void dropUnitFields(Fields* fields) {
  std::size_t kept = 0;
  const std::size_t n = std::min(fields->count, kMaxFields);
  for (std::size_t k = 0; k < n; ++k) {
    const std::string_view f = fields->f[k];
    const bool unit = f.size() >= 2 && ((f.front() == '[' && f.back() == ']') || (f.front() == '(' && f.back() == ')'));
    if (unit) continue;
    if (kept != k) {
      fields->unescaped[kept] = fields->unescaped[k];
      fields->f[kept] = f.data() == fields->unescaped[k].data() ? std::string_view(fields->unescaped[kept]) : f;
    }
    ++kept;
  }
  fields->count = kept + (fields->count - n);
}

bool mayHoldDecimalCommas(const char* p, const char* end) {
  for (; p != end; ++p)
    if (*p == ';' || *p == '\t') return true;
  return false;
}

NumberStatus toNumberWithMark(std::string_view field, bool decimalComma, double* value) {
  if (!decimalComma) return toNumber(field, value);
  // A number is short; a longer field is no number in either form.
  char text[64];
  if (field.size() >= sizeof text || field.find('.') != std::string_view::npos) return NumberStatus::notANumber;
  std::memcpy(text, field.data(), field.size());
  std::replace(text, text + field.size(), ',', '.');
  return toNumber(std::string_view(text, field.size()), value);
}

std::string columnName(std::string_view field) {
  while (!field.empty() && isBlank(field.back())) field.remove_suffix(1);
  if (!field.empty() && (field.back() == ']' || field.back() == ')')) {
    const std::size_t open = field.find_last_of(field.back() == ']' ? '[' : '(');
    if (open != std::string_view::npos) field = field.substr(0, open);
  }
  while (!field.empty() && isBlank(field.back())) field.remove_suffix(1);
  while (!field.empty() && isBlank(field.front())) field.remove_prefix(1);
  std::string name(field);
  for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

ExtraColumns extraColumnsOf(std::string_view a, std::string_view b, std::string_view c) {
  const std::string names = columnName(a) + " " + columnName(b) + " " + columnName(c);
  return names == "i j k" || names == "nx ny nz" ? ExtraColumns::Normals : ExtraColumns::Weights;
}

bool isValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p != end) {
    const unsigned c = *p++;
    if (c < 0x80) continue;
    int more = 0;
    unsigned lowest = 0, value = 0;
    if ((c & 0xE0) == 0xC0) {
      more = 1, lowest = 0x80, value = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2, lowest = 0x800, value = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3, lowest = 0x10000, value = c & 0x07;
    } else {
      return false;
    }
    if (end - p < more) return false;
    for (int k = 0; k < more; ++k, ++p) {
      if ((*p & 0xC0) != 0x80) return false;
      value = (value << 6) | (*p & 0x3F);
    }
    if (value < lowest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  }
  return true;
}

std::string windows1252ToUtf8(std::string_view text) {
  // Code points of the bytes 0x80 to 0x9F; the others are Latin-1's.
  static constexpr unsigned short kHigh[32] = {
      0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
  std::string out;
  out.reserve(text.size() * 2);
  for (const char byte : text) {
    const unsigned c = static_cast<unsigned char>(byte);
    const unsigned code = c >= 0x80 && c < 0xA0 ? kHigh[c - 0x80] : c;
    if (code < 0x80) {
      out.push_back(char(code));
    } else if (code < 0x800) {
      out.push_back(char(0xC0 | (code >> 6)));
      out.push_back(char(0x80 | (code & 0x3F)));
    } else {
      out.push_back(char(0xE0 | (code >> 12)));
      out.push_back(char(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(char(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

}  // namespace detail
}  // namespace Zem
