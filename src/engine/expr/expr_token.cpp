// TExpToken and the process-wide node pool.
#include "engine/expr/expr_token.h"

namespace tovenmarsh::engine {

TExpToken::TExpToken() {
  int64_t capacity = 0;
  void* buffer = nullptr;
  ResizeInSteps(kExpTokenInitialBuffer, kExpTokenBufferStep, buffer, capacity);
  Data = static_cast<uint8_t*>(buffer);
  Capacity = static_cast<int32_t>(capacity);
}

TExpToken::~TExpToken() { EngineFree(Data); }

void TExpToken::SetDataSize(int32_t n) {
  if (n < 0) n = 0;
  if (n + 1 > Capacity) {
    int64_t capacity = Capacity;
    void* buffer = Data;
    ResizeInSteps(int64_t{n} + 1, kExpTokenBufferStep, buffer, capacity);
    Data = static_cast<uint8_t*>(buffer);
    Capacity = static_cast<int32_t>(capacity);
  }
  DataSize = n;
}

void TExpToken::Assign(const TExpToken& other) {
  if (&other == this) return;
  Text = other.Text;
  NodeClass = other.NodeClass;
  Operator = other.Operator;
  OptLevel = other.OptLevel;
  Reserved = other.Reserved;
  FieldName = other.FieldName;
  FieldNo = other.FieldNo;
  TableName = other.TableName;
  SourceRef = other.SourceRef;
  SubQuery = other.SubQuery;
  if (other.Capacity > Capacity) SetDataSize(other.Capacity - 1);
  std::memcpy(Data, other.Data, static_cast<size_t>(other.Capacity));
  IsNull = other.IsNull;
  IsParameter = other.IsParameter;
  PartialLength = other.PartialLength;
  CaseInsensitive = other.CaseInsensitive;
  DataType = other.DataType;
  SubType = other.SubType;
  DataSize = other.DataSize;
  Scale = other.Scale;
  WasString = other.WasString;
  SavedType = other.SavedType;
  SavedSubType = other.SavedSubType;
  SavedSize = other.SavedSize;
  SavedScale = other.SavedScale;
  Parent = other.Parent;
  Left = other.Left;
  Right = other.Right;
  Third = other.Third;
}

void TExpToken::Reset() {
  Text.clear();
  NodeClass = 0;
  Operator = 0;
  OptLevel = kOptNone;
  Reserved = 0;
  FieldName.clear();
  FieldNo = 0;
  TableName.clear();
  SourceRef = nullptr;
  SubQuery = nullptr;
  ClearValue();
  IsNull = false;
  IsParameter = false;
  PartialLength = 0;
  CaseInsensitive = false;
  DataType = 0;
  SubType = 0;
  DataSize = 0;
  Scale = 0;
  WasString = false;
  SavedType = 0;
  SavedSubType = 0;
  SavedSize = 0;
  SavedScale = 0;
  Parent = nullptr;
  Left = nullptr;
  Right = nullptr;
  Third = nullptr;
}

std::string_view TExpToken::StringValue() const {
  size_t limit = DataSize > 0 ? static_cast<size_t>(DataSize) : 0;
  if (limit > static_cast<size_t>(Capacity)) limit = static_cast<size_t>(Capacity);
  const char* text = reinterpret_cast<const char*>(Data);
  size_t n = 0;
  while (n < limit && text[n] != 0) ++n;
  return std::string_view(text, n);
}

void TExpToken::SetStringValue(std::string_view s) {
  SetDataSize(static_cast<int32_t>(s.size()) + 1);
  if (!s.empty()) std::memcpy(Data, s.data(), s.size());
  Data[s.size()] = 0;
}

void TExpToken::ClearValue() {
  if (Data != nullptr) std::memset(Data, 0, static_cast<size_t>(Capacity));
}

TExpTokenStack& ExpTokenStack() {
  // One pool for the process; it lives until the process ends so that no thread can find it
  // gone while releasing a node during shut-down.
  static TExpTokenStack* stack = new TExpTokenStack(1024);
  return *stack;
}

namespace {

// A few spare nodes per thread in front of the process pool: evaluating an expression takes and
// releases a node for every operand, and the pool's lock cost more than the evaluation itself.
// A thread that ends hands its spares back to the pool.
class TThreadSpares {
 public:
  ~TThreadSpares() {
    for (int i = 0; i < count_; ++i) ExpTokenStack().Release(spares_[i]);
    count_ = 0;
    closed_ = true;  // nodes released later in the thread's end go to the pool
  }
  TExpToken* Take() {
    if (count_ == 0) return nullptr;
    TExpToken* node = spares_[--count_];
    node->Reset();
    return node;
  }
  bool Keep(TExpToken* node) {
    if (closed_ || count_ == kCapacity) return false;
    spares_[count_++] = node;
    return true;
  }

 private:
  static constexpr int kCapacity = 64;
  TExpToken* spares_[kCapacity] = {};
  int count_ = 0;
  bool closed_ = false;
};

thread_local TThreadSpares threadSpares;

}  // namespace

TExpToken* NewExpToken() {
  if (TExpToken* node = threadSpares.Take()) return node;
  return ExpTokenStack().Take();
}

void ReleaseExpToken(TExpToken*& node) {
  if (node == nullptr) return;
  if (threadSpares.Keep(node)) {
    node = nullptr;
    return;
  }
  ExpTokenStack().Release(node);
}

}  // namespace tovenmarsh::engine
