#include "packer/release/resources.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "packer/failure.h"

namespace packer {

namespace {

const uint32_t kHighBit = 0x80000000u;
const size_t kDirectoryHeader = 16;
const size_t kDirectoryEntry = 8;
const size_t kDataEntry = 16;
const uint32_t kFixedInfoSignature = 0xFEEF04BD;
const size_t kFixedInfoSize = 52;
const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

uint16_t Read16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Put16(std::vector<uint8_t>* out, size_t at, uint16_t value) {
  (*out)[at] = static_cast<uint8_t>(value);
  (*out)[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(std::vector<uint8_t>* out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*out)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void Append16(std::vector<uint8_t>* out, uint16_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}

void Append32(std::vector<uint8_t>* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PadTo(std::vector<uint8_t>* out, size_t alignment) {
  while (out->size() % alignment != 0) out->push_back(0);
}

// The loader finds names by a binary search that ignores letter case; resource compilers store
// them in upper case, and named entries come before numbered ones.
std::u16string UpperName(const std::u16string& text) {
  std::u16string upper = text;
  for (char16_t& c : upper)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return upper;
}

bool NameBefore(const ResourceName& a, const ResourceName& b) {
  bool aNamed = !a.text.empty(), bNamed = !b.text.empty();
  if (aNamed != bNamed) return aNamed;
  if (aNamed) return UpperName(a.text) < UpperName(b.text);
  return a.id < b.id;
}

// Reads a resource directory: each level is a table of entries naming a type, a name or a
// language, the last pointing at data.
class ResourceReader {
 public:
  ResourceReader(const PeImage& image, const std::string& what) : image_(image), what_(what) {
    PeDirectory directory = image.directory(DIRECTORY_RESOURCE);
    base_ = image.AtAddress(directory.address, directory.size);
    size_ = directory.size;
    if (directory.size != 0 && base_ == nullptr) Fail("resource directory outside the sections");
  }

  std::vector<Resource> Read() {
    std::vector<Resource> out;
    if (size_ != 0) ReadTable(0, 0, Resource(), &out);
    return out;
  }

 private:
  [[noreturn]] void Fail(const std::string& problem) const {
    throw Failure(what_ + ": " + problem);
  }

  const uint8_t* At(uint32_t offset, uint32_t length) const {
    if (offset > size_ || size_ - offset < length) Fail("damaged resource directory");
    return base_ + offset;
  }

  ResourceName Name(uint32_t field) const {
    ResourceName name;
    if (!(field & kHighBit)) {
      if (field > 0xFFFF) Fail("resource number out of range");
      name.id = static_cast<uint16_t>(field);
      return name;
    }
    uint32_t offset = field & ~kHighBit;
    uint16_t length = Read16(At(offset, 2));
    const uint8_t* chars = At(offset + 2, 2u * length);
    for (uint16_t i = 0; i < length; ++i) name.text.push_back(Read16(chars + 2 * i));
    if (name.text.empty()) Fail("empty resource name");
    return name;
  }

  void ReadTable(uint32_t offset, int level, Resource resource, std::vector<Resource>* out) {
    const uint8_t* header = At(offset, kDirectoryHeader);
    uint32_t count = static_cast<uint32_t>(Read16(header + 12)) + Read16(header + 14);
    const uint8_t* entries = At(offset + kDirectoryHeader, count * kDirectoryEntry);
    // Each entry takes eight bytes of the directory: a table cannot list more than it holds.
    entriesSeen_ += count;
    if (entriesSeen_ > size_ / kDirectoryEntry) Fail("resource directory lists too many entries");
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t nameField = Read32(entries + kDirectoryEntry * i);
      uint32_t target = Read32(entries + kDirectoryEntry * i + 4);
      if (level == 0) resource.type = Name(nameField);
      if (level == 1) resource.name = Name(nameField);
      if (level == 2) {
        ResourceName language = Name(nameField);
        if (!language.text.empty()) Fail("resource language given as a string");
        resource.language = language.id;
      }
      bool table = (target & kHighBit) != 0;
      if (table != (level < 2)) Fail("resource directory deeper or shallower than three levels");
      if (table) {
        ReadTable(target & ~kHighBit, level + 1, resource, out);
        continue;
      }
      const uint8_t* entry = At(target, kDataEntry);
      uint32_t address = Read32(entry), size = Read32(entry + 4);
      const uint8_t* data = image_.AtAddress(address, size);
      // An empty resource reads nothing, and may sit right at the end of a section: where a
      // writer that lays data out in order puts it when it comes last.
      const bool emptyAtAnEnd =
          size == 0 && address != 0 && image_.AtAddress(address - 1, 1) != nullptr;
      if (data == nullptr && !emptyAtAnEnd) Fail("resource data outside the sections");
      resource.codePage = Read32(entry + 8);
      resource.data.assign(data, data + size);
      out->push_back(resource);
    }
  }

  const PeImage& image_;
  const std::string& what_;
  const uint8_t* base_ = nullptr;
  uint32_t size_ = 0;
  uint32_t entriesSeen_ = 0;
};

// One level of the tree being written: the entries of a table and where it goes.
struct Table {
  size_t offset = 0;
  std::vector<std::pair<ResourceName, size_t>> entries;  // name and child table or resource
};

// A node of a version resource: a key, a value (words of text when `text`), and children.
struct VersionNode {
  std::u16string key;
  bool text = false;
  std::vector<uint8_t> value;
  std::vector<VersionNode> children;
};

void WriteNode(const VersionNode& node, std::vector<uint8_t>* out) {
  PadTo(out, 4);
  size_t start = out->size();
  Append16(out, 0);
  Append16(out, static_cast<uint16_t>(node.text ? node.value.size() / 2 : node.value.size()));
  Append16(out, node.text ? 1 : 0);
  for (char16_t c : node.key) Append16(out, c);
  Append16(out, 0);
  PadTo(out, 4);
  out->insert(out->end(), node.value.begin(), node.value.end());
  for (const VersionNode& child : node.children) WriteNode(child, out);
  if (out->size() - start > 0xFFFF) throw Failure("version information too long");
  Put16(out, start, static_cast<uint16_t>(out->size() - start));
}

std::vector<uint8_t> TextValue(const std::u16string& text) {
  std::vector<uint8_t> value;
  for (char16_t c : text) Append16(&value, c);
  Append16(&value, 0);
  return value;
}

VersionNode ReadNode(const std::vector<uint8_t>& data, size_t offset, size_t end,
                     const std::string& what) {
  auto fail = [&]() { throw Failure(what + ": damaged version information"); };
  if (offset + 6 > end) fail();
  size_t length = Read16(&data[offset]);
  size_t valueLength = Read16(&data[offset + 2]);
  VersionNode node;
  node.text = Read16(&data[offset + 4]) == 1;
  if (length < 6 || offset + length > end) fail();
  end = offset + length;
  size_t at = offset + 6;
  for (;; at += 2) {
    if (at + 2 > end) fail();
    char16_t c = Read16(&data[at]);
    if (c == 0) break;
    node.key.push_back(c);
  }
  at = (at + 2 + 3) & ~static_cast<size_t>(3);
  // Some writers count a text value in bytes rather than in characters: either way it ends
  // within the node.
  size_t valueBytes = std::min(node.text ? 2 * valueLength : valueLength, end - std::min(at, end));
  if (at + valueBytes > end) fail();
  node.value.assign(data.begin() + at, data.begin() + at + valueBytes);
  at = (at + valueBytes + 3) & ~static_cast<size_t>(3);
  while (at + 6 <= end) {
    VersionNode child = ReadNode(data, at, end, what);
    size_t childLength = Read16(&data[at]);
    node.children.push_back(std::move(child));
    at = (at + childLength + 3) & ~static_cast<size_t>(3);
  }
  return node;
}

std::u16string TextOf(const std::vector<uint8_t>& value) {
  std::u16string text;
  for (size_t i = 0; i + 1 < value.size(); i += 2) {
    char16_t c = Read16(&value[i]);
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

}  // namespace

std::vector<Resource> ReadResources(const PeImage& image, const std::string& what) {
  return ResourceReader(image, what).Read();
}

std::vector<uint8_t> ResourceSection(std::vector<Resource> resources, uint32_t address) {
  std::stable_sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
    if (!(a.type == b.type)) return NameBefore(a.type, b.type);
    if (!(a.name == b.name)) return NameBefore(a.name, b.name);
    return a.language < b.language;
  });
  for (size_t i = 1; i < resources.size(); ++i)
    if (resources[i].type == resources[i - 1].type && resources[i].name == resources[i - 1].name &&
        resources[i].language == resources[i - 1].language)
      throw Failure("two resources of the same type, name and language");

  // The three levels: types, the names of each type, the languages of each name.
  std::vector<Table> tables(1);
  std::vector<size_t> typeTables, nameTables;
  for (size_t i = 0; i < resources.size(); ++i) {
    const Resource& r = resources[i];
    bool newType = i == 0 || !(r.type == resources[i - 1].type);
    bool newName = newType || !(r.name == resources[i - 1].name);
    if (newType) {
      tables[0].entries.push_back({r.type, tables.size()});
      typeTables.push_back(tables.size());
      tables.emplace_back();
    }
    if (newName) {
      tables[typeTables.back()].entries.push_back({r.name, tables.size()});
      nameTables.push_back(tables.size());
      tables.emplace_back();
    }
    tables[nameTables.back()].entries.push_back({ResourceName{r.language, {}}, i});
  }
  // Tables in the order made (root, then each type's table before its names' tables), then the
  // strings, the data entries and the data.
  size_t size = 0;
  for (Table& table : tables) {
    table.offset = size;
    size += kDirectoryHeader + kDirectoryEntry * table.entries.size();
  }
  std::vector<uint8_t> out(size, 0);
  auto nameField = [&](const ResourceName& name) -> uint32_t {
    if (name.text.empty()) return name.id;
    uint32_t offset = static_cast<uint32_t>(out.size());
    Append16(&out, static_cast<uint16_t>(name.text.size()));
    for (char16_t c : UpperName(name.text)) Append16(&out, c);
    return offset | kHighBit;
  };
  std::vector<uint32_t> dataEntries(resources.size());
  for (size_t t = 0; t < tables.size(); ++t) {
    const Table& table = tables[t];
    uint16_t named = 0;
    for (const auto& entry : table.entries) named += entry.first.text.empty() ? 0 : 1;
    Put16(&out, table.offset + 12, named);
    Put16(&out, table.offset + 14, static_cast<uint16_t>(table.entries.size() - named));
    for (size_t e = 0; e < table.entries.size(); ++e) {
      size_t at = table.offset + kDirectoryHeader + kDirectoryEntry * e;
      Put32(&out, at, nameField(table.entries[e].first));
      bool leaf = std::find(nameTables.begin(), nameTables.end(), t) != nameTables.end();
      if (!leaf)
        Put32(&out, at + 4,
              static_cast<uint32_t>(tables[table.entries[e].second].offset) | kHighBit);
    }
  }
  PadTo(&out, 4);
  for (size_t i = 0; i < resources.size(); ++i) {
    dataEntries[i] = static_cast<uint32_t>(out.size());
    out.resize(out.size() + kDataEntry, 0);
  }
  for (size_t t : nameTables)
    for (size_t e = 0; e < tables[t].entries.size(); ++e)
      Put32(&out, tables[t].offset + kDirectoryHeader + kDirectoryEntry * e + 4,
            dataEntries[tables[t].entries[e].second]);
  for (size_t i = 0; i < resources.size(); ++i) {
    PadTo(&out, 8);
    Put32(&out, dataEntries[i], address + static_cast<uint32_t>(out.size()));
    Put32(&out, dataEntries[i] + 4, static_cast<uint32_t>(resources[i].data.size()));
    Put32(&out, dataEntries[i] + 8, resources[i].codePage);
    out.insert(out.end(), resources[i].data.begin(), resources[i].data.end());
  }
  PadTo(&out, 8);
  return out;
}

namespace {

// An .ico file lists each image by offset and size; the system picks one by the sizes its entry
// claims, then trusts the image's own header.
const size_t kMostIconImages = 256;

uint32_t ReadBig32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Why an image is not the whole picture its entry describes, or null. A width or height of 0
// in the entry means 256.
const char* IconImageProblem(const uint8_t* entry, const uint8_t* data, uint32_t size) {
  const uint32_t width = entry[0] == 0 ? 256 : entry[0];
  const uint32_t height = entry[1] == 0 ? 256 : entry[1];
  if (size >= 8 && std::equal(kPngSignature, kPngSignature + 8, data)) {
    // The signature, then the header chunk: its length (13), its type, width and height.
    if (size < 8 + 8 + 13 + 4 || ReadBig32(data + 8) != 13 || memcmp(data + 12, "IHDR", 4) != 0)
      return "a PNG image without its header";
    if (ReadBig32(data + 16) != width || ReadBig32(data + 20) != height)
      return "a PNG image of another size than its entry says";
    return nullptr;
  }
  if (size < 40 || Read32(data) != 40) return "neither a bitmap nor a PNG image";
  const uint32_t bmpWidth = Read32(data + 4), bmpHeight = Read32(data + 8);
  const uint16_t planes = Read16(data + 12), bits = Read16(data + 14);
  // The height counts the colour rows and the mask rows below them.
  if (bmpWidth != width || (bmpHeight != 2 * height && bmpHeight != height))
    return "a bitmap of another size than its entry says";
  if (planes != 1 ||
      (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32))
    return "a bitmap of an unknown kind";
  const uint32_t used = Read32(data + 32);
  const uint64_t colours = bits <= 8 ? (used != 0 ? used : 1u << bits) : used;
  if (colours > 256) return "a bitmap with a damaged colour table";
  auto rowBytes = [&](uint64_t bitsPerPixel) { return (width * bitsPerPixel + 31) / 32 * 4; };
  const uint64_t whole = 40 + 4 * colours + (rowBytes(bits) + rowBytes(1)) * height;
  if (size < whole) return "a bitmap shorter than its pixels";
  return nullptr;
}

}  // namespace

std::vector<Resource> IconResources(const std::vector<uint8_t>& ico, const std::string& what) {
  auto fail = [&](const std::string& problem) { throw Failure(what + ": " + problem); };
  if (ico.size() < 6 || Read16(&ico[0]) != 0) fail("not an icon file");
  if (Read16(&ico[2]) == 2) fail("a cursor, not an icon");
  if (Read16(&ico[2]) != 1) fail("not an icon file");
  const size_t count = Read16(&ico[4]);
  if (count == 0) fail("holds no image");
  if (count > kMostIconImages)
    fail("lists " + std::to_string(count) + " images, more than the " +
         std::to_string(kMostIconImages) + " an icon holds");
  const size_t listEnd = 6 + 16 * count;
  if (listEnd > ico.size()) fail("truncated image list");

  Resource group;
  group.type.id = kResourceGroupIcon;
  group.name.id = 1;
  group.language = kResourceLanguage;
  Append16(&group.data, 0);
  Append16(&group.data, 1);
  Append16(&group.data, static_cast<uint16_t>(count));
  std::vector<Resource> out;
  // Each image once, however many entries name it, and no two sharing bytes: so the icon
  // resources never hold more than the file does.
  std::vector<std::pair<std::pair<uint32_t, uint32_t>, uint16_t>> images;  // offset, size; id
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = &ico[6 + 16 * i];
    uint32_t size = Read32(entry + 8), offset = Read32(entry + 12);
    std::string image = "image " + std::to_string(i + 1);
    if (offset > ico.size() || ico.size() - offset < size) fail(image + " lies outside the file");
    if (offset < listEnd) fail(image + " overlaps the image list");
    const uint8_t* data = &ico[offset];
    uint16_t id = 0;
    for (const auto& known : images) {
      const uint32_t knownOffset = known.first.first, knownSize = known.first.second;
      if (knownOffset == offset && knownSize == size) {
        id = known.second;
        break;
      }
      if (offset < knownOffset + knownSize && knownOffset < offset + size)
        fail(image + " overlaps image " + std::to_string(known.second));
    }
    if (const char* problem = IconImageProblem(entry, data, size)) fail(image + " is " + problem);
    bool bitmap = Read32(data) == 40;
    uint16_t planes = Read16(entry + 4), bitCount = Read16(entry + 6);
    // Some writers leave these at zero; the system picks an image by them.
    if (bitmap && planes == 0) planes = Read16(data + 12);
    if (bitmap && bitCount == 0) bitCount = Read16(data + 14);
    if (id == 0) {
      id = static_cast<uint16_t>(images.size() + 1);
      images.push_back({{offset, size}, id});
      Resource icon;
      icon.type.id = kResourceIcon;
      icon.name.id = id;
      icon.language = kResourceLanguage;
      icon.data.assign(data, data + size);
      out.push_back(std::move(icon));
    }
    group.data.insert(group.data.end(), entry, entry + 4);
    Append16(&group.data, planes);
    Append16(&group.data, bitCount);
    Append32(&group.data, size);
    Append16(&group.data, id);
  }
  out.push_back(std::move(group));
  return out;
}

bool ParseVersionNumber(const std::string& text, std::array<uint16_t, 4>* version) {
  std::array<uint16_t, 4> parts{};
  size_t part = 0, at = 0;
  while (true) {
    size_t start = at;
    uint32_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 6)
      value = value * 10 + static_cast<uint32_t>(text[at++] - '0');
    if (at == start || value > 0xFFFF || part == 4) return false;
    parts[part++] = static_cast<uint16_t>(value);
    if (at == text.size()) break;
    if (text[at++] != '.') return false;
  }
  *version = parts;
  return true;
}

std::vector<uint8_t> VersionResourceData(const VersionInfo& info) {
  VersionNode root;
  root.key = u"VS_VERSION_INFO";
  auto high = [](const std::array<uint16_t, 4>& v) {
    return static_cast<uint32_t>(v[0]) << 16 | v[1];
  };
  auto low = [](const std::array<uint16_t, 4>& v) {
    return static_cast<uint32_t>(v[2]) << 16 | v[3];
  };
  const uint32_t fixed[13] = {kFixedInfoSignature,
                              0x00010000,
                              high(info.fileVersion),
                              low(info.fileVersion),
                              high(info.productVersion),
                              low(info.productVersion),
                              0x3F,        // the flags that are defined
                              0,           // none set: a release build
                              0x00040004,  // for Windows NT, 32-bit
                              1,           // an application
                              0,
                              0,
                              0};
  for (uint32_t word : fixed) Append32(&root.value, word);

  std::vector<uint32_t> translations = info.translations;
  if (translations.empty()) translations.push_back(kResourceLanguage | 1200u << 16);
  char key[9];
  snprintf(key, sizeof key, "%04X%04X", translations[0] & 0xFFFF, translations[0] >> 16);
  VersionNode table;
  table.key = std::u16string(key, key + 8);
  table.text = true;
  for (const auto& string : info.strings) {
    VersionNode node;
    std::u16string name, value;
    if (!Utf8ToUtf16(string.first, &name) || !Utf8ToUtf16(string.second, &value))
      throw Failure("version string is not UTF-8: " + string.first);
    // Readers take the text to its first NUL: one inside would cut what they show.
    if (name.empty() || name.find(u'\0') != std::u16string::npos ||
        value.find(u'\0') != std::u16string::npos)
      throw Failure("version string empty or holding a NUL character: " + string.first);
    node.key = name;
    node.text = true;
    node.value = TextValue(value);
    table.children.push_back(std::move(node));
  }
  VersionNode strings;
  strings.key = u"StringFileInfo";
  strings.text = true;
  strings.children.push_back(std::move(table));
  root.children.push_back(std::move(strings));

  VersionNode translation;
  translation.key = u"Translation";
  for (uint32_t pair : translations) Append32(&translation.value, pair);
  VersionNode variables;
  variables.key = u"VarFileInfo";
  variables.text = true;
  variables.children.push_back(std::move(translation));
  root.children.push_back(std::move(variables));

  std::vector<uint8_t> out;
  WriteNode(root, &out);
  return out;
}

VersionInfo ReadVersionResource(const std::vector<uint8_t>& data, const std::string& what) {
  VersionNode root = ReadNode(data, 0, data.size(), what);
  if (root.key != u"VS_VERSION_INFO" || root.value.size() != kFixedInfoSize ||
      Read32(&root.value[0]) != kFixedInfoSignature)
    throw Failure(what + ": version information without its fixed part");
  VersionInfo info;
  auto split = [&](size_t at, std::array<uint16_t, 4>* version) {
    uint32_t high = Read32(&root.value[at]), low = Read32(&root.value[at + 4]);
    *version = {static_cast<uint16_t>(high >> 16), static_cast<uint16_t>(high),
                static_cast<uint16_t>(low >> 16), static_cast<uint16_t>(low)};
  };
  split(8, &info.fileVersion);
  split(16, &info.productVersion);
  for (const VersionNode& child : root.children) {
    if (child.key == u"StringFileInfo") {
      for (const VersionNode& table : child.children)
        for (const VersionNode& string : table.children)
          info.strings.push_back({Utf16ToUtf8(string.key), Utf16ToUtf8(TextOf(string.value))});
    } else if (child.key == u"VarFileInfo") {
      for (const VersionNode& variable : child.children)
        if (variable.key == u"Translation")
          for (size_t i = 0; i + 4 <= variable.value.size(); i += 4)
            info.translations.push_back(Read32(&variable.value[i]));
    }
  }
  return info;
}

bool Utf8ToUtf16(const std::string& text, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < text.size();) {
    unsigned char first = static_cast<unsigned char>(text[i]);
    size_t length = first < 0x80         ? 1
                    : (first >> 5) == 6  ? 2
                    : (first >> 4) == 14 ? 3
                    : (first >> 3) == 30 ? 4
                                         : 0;
    if (length == 0 || i + length > text.size()) return false;
    char32_t c = length == 1 ? first : first & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = c << 6 | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode's end are not characters.
    static const char32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (c >= 0x10000) {
      out->push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(c));
    }
    i += length;
  }
  return true;
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    else if (c >= 0xD800 && c < 0xE000)
      c = 0xFFFD;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | c >> 12));
      out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | c >> 18));
      out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace packer
