// TStrings and TStringList: ordered lists of 8-bit strings, each with an
// optional associated object, as lookup results, header lines and cookies
// travel in.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "base/Event.h"
#include "base/Persistent.h"

namespace evc {

class TStream;

// The line break Text joins with; reading Text accepts CR LF, LF or CR alone.
inline constexpr std::string_view sLineBreak = "\r\n";

class TStrings : public TPersistent {
  EVC_CLASS(TStrings)
 public:
  virtual int Count() const = 0;
  // Index outside 0..Count-1 raises EListError.
  virtual const std::string& Get(int index) const = 0;
  virtual void Put(int index, const std::string& s) = 0;
  virtual TObject* GetObject(int index) const = 0;
  virtual void PutObject(int index, TObject* object) = 0;
  virtual void Insert(int index, const std::string& s) = 0;
  virtual void Delete(int index) = 0;
  virtual void Clear() = 0;

  const std::string& operator[](int index) const { return Get(index); }
  const std::string& Strings(int index) const { return Get(index); }

  // Appends and returns the new index (a sorted list puts it in its place).
  virtual int Add(const std::string& s);
  int AddObject(const std::string& s, TObject* object);
  void AddStrings(const TStrings& other);
  void Append(const std::string& s) { Add(s); }
  // First index of s (letter case ignored, as the class library compares), or -1.
  virtual int IndexOf(std::string_view s) const;
  // Index of the first "Name=Value" entry with that name, or -1.
  int IndexOfName(std::string_view name) const;
  int IndexOfObject(const TObject* object) const;
  void Move(int from, int to);
  void Exchange(int a, int b);

  // "Name=Value" entries.
  std::string Names(int index) const;
  std::string ValueFromIndex(int index) const;
  std::string Values(std::string_view name) const;
  // Sets or adds the entry; an empty value deletes it.
  void SetValue(std::string_view name, const std::string& value);

  // Every string followed by a line break.
  std::string Text() const;
  void SetText(std::string_view text);
  // Comma-separated, quoting entries that hold blanks, commas or quotes.
  std::string CommaText() const;
  void SetCommaText(std::string_view text);

  void LoadFromStream(TStream& stream);
  void SaveToStream(TStream& stream) const;
  void LoadFromFile(const std::string& path);
  void SaveToFile(const std::string& path) const;

  void Assign(const TPersistent& source) override;
  bool Equals(const TStrings& other) const;

  // Nested updates fire OnChange once, at the outermost EndUpdate.
  void BeginUpdate();
  void EndUpdate();
  TNotifyEvent OnChange;
  TNotifyEvent OnChanging;

 protected:
  void Changing();
  void Changed();
  int UpdateCount() const { return FUpdateCount; }

 private:
  int FUpdateCount = 0;
};

enum TDuplicates { dupIgnore, dupAccept, dupError };

class TStringList : public TStrings {
  EVC_CLASS(TStringList)
 public:
  TStringList() = default;
  ~TStringList() override;
  explicit TStringList(std::initializer_list<std::string> items);

  int Count() const override { return static_cast<int>(FItems.size()); }
  const std::string& Get(int index) const override;
  void Put(int index, const std::string& s) override;
  TObject* GetObject(int index) const override;
  void PutObject(int index, TObject* object) override;
  void Insert(int index, const std::string& s) override;
  void Delete(int index) override;
  void Clear() override;
  int Add(const std::string& s) override;
  int IndexOf(std::string_view s) const override;

  // Sorted lists keep their order (letter case ignored unless CaseSensitive)
  // and apply Duplicates on Add.
  bool Sorted() const { return FSorted; }
  void SetSorted(bool value);
  TDuplicates Duplicates() const { return FDuplicates; }
  void SetDuplicates(TDuplicates value) { FDuplicates = value; }
  bool CaseSensitive() const { return FCaseSensitive; }
  void SetCaseSensitive(bool value);
  void Sort();
  // Binary search of a sorted list: true and the index when found, else false
  // and the index where s belongs.
  bool Find(std::string_view s, int& index) const;
  // When true the list deletes the objects attached to its entries.
  bool OwnsObjects() const { return FOwnsObjects; }
  void SetOwnsObjects(bool value) { FOwnsObjects = value; }

 private:
  struct TItem {
    std::string s;
    TObject* object = nullptr;
  };
  void Check(int index) const;
  int Compare(std::string_view a, std::string_view b) const;
  std::vector<TItem> FItems;
  bool FSorted = false;
  bool FCaseSensitive = false;
  bool FOwnsObjects = false;
  TDuplicates FDuplicates = dupIgnore;
};

}  // namespace evc
