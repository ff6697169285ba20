#include "base/Strings.h"

#include <algorithm>

#include "base/Exception.h"
#include "base/Streams.h"

namespace evc {

const TClassInfo& TStrings::StaticClassInfo() {
  static const TClassInfo info("TStrings", &TPersistent::StaticClassInfo(), {});
  return info;
}

const TClassInfo& TStringList::StaticClassInfo() {
  static const TClassInfo info("TStringList", &TStrings::StaticClassInfo(), {});
  return info;
}

int TStrings::Add(const std::string& s) {
  int i = Count();
  Insert(i, s);
  return i;
}

int TStrings::AddObject(const std::string& s, TObject* object) {
  int i = Add(s);
  PutObject(i, object);
  return i;
}

void TStrings::AddStrings(const TStrings& other) {
  BeginUpdate();
  int n = other.Count();  // other may be this list
  for (int i = 0; i < n; ++i) AddObject(other.Get(i), other.GetObject(i));
  EndUpdate();
}

int TStrings::IndexOf(std::string_view s) const {
  for (int i = 0; i < Count(); ++i)
    if (SameText(Get(i), s)) return i;
  return -1;
}

int TStrings::IndexOfName(std::string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& s = Get(i);
    size_t eq = s.find('=');
    if (eq != std::string::npos && SameText(std::string_view(s).substr(0, eq), name)) return i;
  }
  return -1;
}

int TStrings::IndexOfObject(const TObject* object) const {
  for (int i = 0; i < Count(); ++i)
    if (GetObject(i) == object) return i;
  return -1;
}

void TStrings::Move(int from, int to) {
  if (from == to) return;
  BeginUpdate();
  std::string s = Get(from);
  TObject* o = GetObject(from);
  Delete(from);
  Insert(to, s);
  PutObject(to, o);
  EndUpdate();
}

void TStrings::Exchange(int a, int b) {
  BeginUpdate();
  std::string sa = Get(a), sb = Get(b);
  TObject *oa = GetObject(a), *ob = GetObject(b);
  Put(a, sb);
  PutObject(a, ob);
  Put(b, sa);
  PutObject(b, oa);
  EndUpdate();
}

std::string TStrings::Names(int index) const {
  const std::string& s = Get(index);
  size_t eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(0, eq);
}

std::string TStrings::ValueFromIndex(int index) const {
  const std::string& s = Get(index);
  size_t eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(eq + 1);
}

std::string TStrings::Values(std::string_view name) const {
  int i = IndexOfName(name);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStrings::SetValue(std::string_view name, const std::string& value) {
  int i = IndexOfName(name);
  std::string entry = std::string(name) + "=" + value;
  if (value.empty()) {
    if (i >= 0) Delete(i);
  } else if (i >= 0) {
    Put(i, entry);
  } else {
    Add(entry);
  }
}

std::string TStrings::Text() const {
  std::string out;
  for (int i = 0; i < Count(); ++i) {
    out += Get(i);
    out += sLineBreak;
  }
  return out;
}

void TStrings::SetText(std::string_view text) {
  BeginUpdate();
  Clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      Add(std::string(text.substr(start)));
      break;
    }
    Add(std::string(text.substr(start, end - start)));
    if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
    start = end + 1;
  }
  EndUpdate();
}

std::string TStrings::CommaText() const {
  std::string out;
  for (int i = 0; i < Count(); ++i) {
    if (i) out += ',';
    const std::string& s = Get(i);
    bool quote = s.empty() || s.find_first_of(" ,\"\t") != std::string::npos;
    if (!quote) {
      out += s;
      continue;
    }
    out += '"';
    for (char c : s) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out;
}

void TStrings::SetCommaText(std::string_view text) {
  BeginUpdate();
  Clear();
  size_t i = 0;
  auto skipBlanks = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  };
  skipBlanks();
  while (i < text.size()) {
    std::string item;
    if (text[i] == '"') {
      ++i;
      while (i < text.size()) {
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            item += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += text[i++];
      }
      while (i < text.size() && text[i] != ',' && text[i] != ' ') ++i;
    } else {
      while (i < text.size() && text[i] != ',' && text[i] != ' ') item += text[i++];
    }
    Add(item);
    skipBlanks();
    if (i < text.size() && text[i] == ',') {
      ++i;
      skipBlanks();
      if (i == text.size()) Add("");
    }
  }
  EndUpdate();
}

void TStrings::LoadFromStream(TStream& stream) {
  int64_t n = stream.Size() - stream.Position();
  std::string text(static_cast<size_t>(std::max<int64_t>(n, 0)), '\0');
  if (n > 0) stream.ReadBuffer(text.data(), n);
  SetText(text);
}

void TStrings::SaveToStream(TStream& stream) const {
  std::string text = Text();
  stream.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

void TStrings::LoadFromFile(const std::string& path) {
  TFileStream f(path, fmOpenRead);
  LoadFromStream(f);
}

void TStrings::SaveToFile(const std::string& path) const {
  TFileStream f(path, fmCreate);
  SaveToStream(f);
}

void TStrings::Assign(const TPersistent& source) {
  auto* other = dynamic_cast<const TStrings*>(&source);
  if (!other) {
    TPersistent::Assign(source);
    return;
  }
  if (other == this) return;
  BeginUpdate();
  Clear();
  AddStrings(*other);
  EndUpdate();
}

bool TStrings::Equals(const TStrings& other) const {
  if (Count() != other.Count()) return false;
  for (int i = 0; i < Count(); ++i)
    if (Get(i) != other.Get(i)) return false;
  return true;
}

void TStrings::BeginUpdate() {
  if (FUpdateCount++ == 0) OnChanging(this);
}

void TStrings::EndUpdate() {
  if (FUpdateCount > 0 && --FUpdateCount == 0) OnChange(this);
}

void TStrings::Changing() {
  if (FUpdateCount == 0) OnChanging(this);
}

void TStrings::Changed() {
  if (FUpdateCount == 0) OnChange(this);
}

// --- TStringList ---
TStringList::TStringList(std::initializer_list<std::string> items) {
  for (const std::string& s : items) Add(s);
}

TStringList::~TStringList() {
  OnChange.Clear();
  OnChanging.Clear();
  Clear();
}

void TStringList::Check(int index) const {
  if (index < 0 || index >= Count())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

int TStringList::Compare(std::string_view a, std::string_view b) const {
  if (FCaseSensitive) return a.compare(b);
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int ca = std::tolower(static_cast<unsigned char>(a[i]));
    int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

const std::string& TStringList::Get(int index) const {
  Check(index);
  return FItems[static_cast<size_t>(index)].s;
}

void TStringList::Put(int index, const std::string& s) {
  if (FSorted) throw EListError("Operation not allowed on sorted list");
  Check(index);
  Changing();
  FItems[static_cast<size_t>(index)].s = s;
  Changed();
}

TObject* TStringList::GetObject(int index) const {
  Check(index);
  return FItems[static_cast<size_t>(index)].object;
}

void TStringList::PutObject(int index, TObject* object) {
  Check(index);
  Changing();
  FItems[static_cast<size_t>(index)].object = object;
  Changed();
}

void TStringList::Insert(int index, const std::string& s) {
  if (FSorted && index != Count()) throw EListError("Operation not allowed on sorted list");
  if (index < 0 || index > Count()) throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  Changing();
  FItems.insert(FItems.begin() + index, TItem{s, nullptr});
  Changed();
}

void TStringList::Delete(int index) {
  Check(index);
  Changing();
  TObject* o = FItems[static_cast<size_t>(index)].object;
  FItems.erase(FItems.begin() + index);
  if (FOwnsObjects) delete o;
  Changed();
}

void TStringList::Clear() {
  if (FItems.empty()) return;
  Changing();
  std::vector<TItem> old;
  old.swap(FItems);
  if (FOwnsObjects)
    for (TItem& item : old) delete item.object;
  Changed();
}

int TStringList::Add(const std::string& s) {
  if (!FSorted) {
    int i = Count();
    Changing();
    FItems.push_back(TItem{s, nullptr});
    Changed();
    return i;
  }
  int index;
  if (Find(s, index)) {
    if (FDuplicates == dupIgnore) return index;
    if (FDuplicates == dupError) throw EListError("String list does not allow duplicates");
  }
  Changing();
  FItems.insert(FItems.begin() + index, TItem{s, nullptr});
  Changed();
  return index;
}

int TStringList::IndexOf(std::string_view s) const {
  if (!FSorted) {
    for (int i = 0; i < Count(); ++i)
      if (Compare(FItems[static_cast<size_t>(i)].s, s) == 0) return i;
    return -1;
  }
  int index;
  return Find(s, index) ? index : -1;
}

bool TStringList::Find(std::string_view s, int& index) const {
  int lo = 0, hi = Count() - 1;
  bool found = false;
  while (lo <= hi) {
    int mid = (lo + hi) / 2;
    int c = Compare(FItems[static_cast<size_t>(mid)].s, s);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) {
        found = true;
        if (FDuplicates != dupAccept) lo = mid;
      }
    }
  }
  index = lo;
  return found;
}

void TStringList::Sort() {
  Changing();
  std::stable_sort(FItems.begin(), FItems.end(),
                   [this](const TItem& a, const TItem& b) { return Compare(a.s, b.s) < 0; });
  Changed();
}

void TStringList::SetSorted(bool value) {
  if (value && !FSorted) Sort();
  FSorted = value;
}

void TStringList::SetCaseSensitive(bool value) {
  if (value == FCaseSensitive) return;
  FCaseSensitive = value;
  if (FSorted) Sort();
}

}  // namespace evc
