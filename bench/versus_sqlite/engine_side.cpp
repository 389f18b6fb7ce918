// The engine side of the benchmark (engine_side.h).

#include "bench/versus_sqlite/engine_side.h"

#include <cstring>
#include <stdexcept>

#include "dataset/expr_parser.h"
#include "tabula/field_types.h"
#include "tabula/filter_level.h"
#include "tabula/index_descriptor.h"
#include "tabula/locale.h"

namespace bench {

namespace {

using tabula::TDataFile;
using tabula::TDescSet;

constexpr int kPageRows = 20;

// The table's fields as the filter parser sees them.
class TFieldSource : public tabula::db::TFilterFieldSource {
 public:
  explicit TFieldSource(const TDataFile& file) : language_(file.LanguageId()) {
    for (const tabula::TFieldDesc& d : file.Descriptors(TDescSet::kWorking)) {
      tabula::db::TFilterField f;
      f.Name = d.Name;
      f.FieldNo = d.FieldNo;
      f.DataType = d.IsAutoIncrement()                ? tabula::db::TFilterDataType::kAutoInc
                   : d.FieldType == tabula::kFldString ? tabula::db::TFilterDataType::kString
                                                       : tabula::db::TFilterDataType::kOther;
      fields_.push_back(f);
    }
  }
  const tabula::db::TFilterField* FindFilterField(const std::string& name) const override {
    for (const auto& f : fields_)
      if (tabula::UpperText(0, 0, f.Name) == tabula::UpperText(0, 0, name)) return &f;
    return nullptr;
  }
  uint16_t LanguageId() const override { return language_; }

 private:
  uint16_t language_;
  std::vector<tabula::db::TFilterField> fields_;
};

tabula::TFilterSpec BufferSpec(const std::vector<uint8_t>& buffer) {
  tabula::TFilterSpec request;
  request.Buffer = buffer.data();
  request.BufferSize = buffer.size();
  return request;
}

}  // namespace

TEngineSide::TEngineSide(const std::string& tablePath) : path_(tablePath) {
  byOrder_[kByNumtel] = OpenHandle("Numtel");
  byOrder_[kByName] = OpenHandle("Name");
  byOrder_[kByAddress] = OpenHandle("Address");
  ranges_ = OpenHandle("Numtel");
  byId_ = OpenHandle("");
  const TDataFile& file = *byId_;
  for (const char* name : {"Numtel", "Name", "kodul", "dom", "korp", "id"})
    fields_.push_back(file.GetFieldDescByName(TDescSet::kWorking, name).FieldNo);
  keyFields_[kByNumtel] = {fields_[0]};
  keyFields_[kByName] = {fields_[1]};
  keyFields_[kByAddress] = {fields_[2], fields_[3], fields_[4]};
  houseField_ = fields_[3];
  idField_ = fields_[5];
  probe_.resize(size_t(file.RecordSize()));
  record_.resize(size_t(file.RecordSize()));
  key_.resize(tabula::kKeyBufferSize);
}

TEngineSide::~TEngineSide() {
  for (auto& handle : byOrder_) handle->Close();
  ranges_->Close();
  byId_->Close();
}

std::unique_ptr<TDataFile> TEngineSide::OpenHandle(const std::string& index) {
  auto file = std::make_unique<TDataFile>();
  file->SetFileName(path_);
  file->SetReadOnly(true);
  file->Open();
  file->SelectIndex(index);
  return file;
}

int64_t TEngineSide::RowCount() { return byId_->RecordCount(); }

void TEngineSide::BuildKey(TDataFile& file, const std::vector<int>& fieldNos, const TKey& key) {
  file.InitRecord(probe_.data());
  for (size_t i = 0; i < key.Size(); ++i) {
    uint8_t value[256] = {};
    std::memcpy(value, key.Cp1251[i].data(), std::min<size_t>(key.Cp1251[i].size(), 255));
    file.SetField(TDescSet::kWorking, fieldNos[i], value, false, probe_.data());
  }
  file.BuildKey(probe_.data(), key_.data());
}

void TEngineSide::Consume(const TDataFile& file, const uint8_t* record, TAnswer* answer) {
  if (!answer) {
    for (int fieldNo : fields_) {
      file.GetField(TDescSet::kWorking, fieldNo, record, scratch_);
      sink_ += scratch_[0];
    }
    return;
  }
  std::vector<std::string> values;
  for (int fieldNo : fields_) {
    const bool isNull = file.GetField(TDescSet::kWorking, fieldNo, record, scratch_);
    if (fieldNo == idField_) {
      int32_t id = 0;
      std::memcpy(&id, scratch_, sizeof id);
      values.push_back(std::to_string(id));
    } else {
      values.push_back(isNull ? "" : tabula::Cp1251ToUtf8(reinterpret_cast<const char*>(scratch_)));
    }
  }
  answer->AddRow(values);
}

void TEngineSide::Lookup(const TKey& numtel, TAnswer* answer) {
  TDataFile& file = Handle(kByNumtel);
  BuildKey(file, keyFields_[kByNumtel], numtel);
  if (file.FindKey(key_.data(), 1, 0, false) == tabula::kResultOk && file.ReadCurrent(record_.data(), false) == 0)
    Consume(file, record_.data(), answer);
}

void TEngineSide::Keystroke(TOrder order, const TKey& key, bool holdReadLock, TAnswer* answer) {
  TDataFile& file = Handle(order);
  if (holdReadLock) file.TakeReadLock();
  BuildKey(file, keyFields_[order], key);
  file.FindKey(key_.data(), int(key.Size()), 0, true);
  if (file.ReadCurrent(record_.data(), false) == 0) {
    Consume(file, record_.data(), answer);
    for (int rows = 1; rows < kPageRows && file.ReadNext(record_.data()) == 0; ++rows)
      Consume(file, record_.data(), answer);
  }
  if (holdReadLock) file.ReleaseReadLock();
}

void TEngineSide::Scan(bool holdReadLock, TAnswer* answer) {
  TDataFile& file = Handle(kByNumtel);
  if (holdReadLock) file.TakeReadLock();
  file.GotoFirst();
  while (file.ReadNext(record_.data()) == 0) Consume(file, record_.data(), answer);
  if (holdReadLock) file.ReleaseReadLock();
}

void TEngineSide::RangeCount(const TKey& low, const TKey& high, TAnswer* answer) {
  TDataFile& file = *ranges_;
  std::vector<uint8_t> start(tabula::kKeyBufferSize);
  BuildKey(file, keyFields_[kByNumtel], low);
  std::memcpy(start.data(), key_.data(), start.size());
  BuildKey(file, keyFields_[kByNumtel], high);
  file.SetRange(start.data(), 1, 0, false, key_.data(), 1, 0, false);
  const int64_t count = file.RecordCount();
  if (answer)
    answer->AddCount(count);
  else
    sink_ += uint64_t(count);
}

void TEngineSide::PrepareFilters(const std::vector<TKey>& streets, const std::vector<TKey>& houses) {
  const TFieldSource source(*byId_);
  auto make = [&](const std::string& text, uint8_t level) {
    const tabula::db::TExprParser parser(text, source, 0);
    tabula::TFilter* probe = byId_->AddFilter(BufferSpec(parser.FilterData()));
    const uint8_t got = tabula::FilterOptLevel(*probe);
    byId_->RemoveFilter(probe);
    if (got != level)
      throw std::runtime_error("the engine answers the filter " + text + " at level " + std::to_string(got) +
                               ", not " + std::to_string(level));
    return parser.FilterData();
  };
  for (const TKey& s : streets) streetFilters_.push_back(make("kodul = '" + s.Cp1251[0] + "'", tabula::kOptIndex));
  for (const TKey& h : houses) {
    houseFilters_.push_back(make("dom = '" + h.Cp1251[0] + "'", tabula::kOptRecord));
    houses_.push_back(h.Cp1251[0]);
  }
}

void TEngineSide::CountVisible(tabula::TFilter* filter, bool readRows, TAnswer* answer) {
  TDataFile& file = *byId_;
  file.ActivateFilter(filter);
  const int64_t count = file.RecordCount();
  if (readRows) {
    file.GotoFirst();
    while (file.ReadNext(record_.data()) == 0) Consume(file, record_.data(), answer);
  } else if (answer) {
    answer->AddCount(count);
  } else {
    sink_ += uint64_t(count);
  }
  file.RemoveFilter(filter);
}

void TEngineSide::StreetCount(size_t street, TAnswer* answer) {
  CountVisible(byId_->AddFilter(BufferSpec(streetFilters_[street])), false, answer);
}

void TEngineSide::StreetRows(size_t street, TAnswer* answer) {
  CountVisible(byId_->AddFilter(BufferSpec(streetFilters_[street])), true, answer);
}

void TEngineSide::HouseCount(size_t house, bool byCallback, TAnswer* answer) {
  if (!byCallback) {
    CountVisible(byId_->AddFilter(BufferSpec(houseFilters_[house])), false, answer);
    return;
  }
  tabula::TFilterSpec request;
  const std::string& wanted = houses_[house];
  request.Callback = [this, &wanted](void*, const uint8_t* record, int32_t) {
    byId_->GetField(TDescSet::kWorking, houseField_, record, scratch_);
    return std::strcmp(reinterpret_cast<const char*>(scratch_), wanted.c_str()) == 0;
  };
  CountVisible(byId_->AddFilter(std::move(request)), false, answer);
}

}  // namespace bench
