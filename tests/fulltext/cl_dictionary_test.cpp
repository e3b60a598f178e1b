// TClDictionary: duplicates, move-to-front, rehashing, disposal, a random model check against
// std::map, and the stream form with its class checks.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "fulltext/cl_dictionary.h"
#include "platform/stream.h"

namespace tovenmarsh::fulltext {
namespace {

TClData D(intptr_t v) { return reinterpret_cast<TClData>(v); }
intptr_t V(TClData d) { return reinterpret_cast<intptr_t>(d); }

std::vector<std::string> BucketNames(TClDictionary& dict) {
  std::vector<std::string> names;
  dict.Iterate([&names](TClDictionary&, TClDictNode& node, void*) {
    names.push_back(node.Name);
    return true;
  }, nullptr);
  return names;
}

TEST(TClDictionary, DuplicatesIgnoreCase) {
  TClDictionary dict(10);
  dict.Add("Word", D(1));
  try {
    dict.Add("WORD", D(2));
    FAIL();
  } catch (const EClContainerError& e) {
    EXPECT_EQ(e.Message(), "Attempt to add duplicate node to TClTree");
    EXPECT_EQ(e.Code(), 54);
  }
  TClData data = nullptr;
  EXPECT_TRUE(dict.Exists("word", data));
  EXPECT_EQ(V(data), 1);
  EXPECT_EQ(dict.Count(), 1);
  EXPECT_THROW(TClDictionary(0), EClContainerError);
}

TEST(TClContainer, CompareMustBeSet) {
  TClDictionary dict(3);
  try {
    dict.DoCompare(nullptr, nullptr);
    FAIL();
  } catch (const EClContainerError& e) {
    EXPECT_EQ(e.Message(), "Compare property must be set");
  }
  dict.Compare = [](TClData a, TClData b) { return V(a) < V(b) ? -1 : V(a) > V(b); };
  EXPECT_EQ(dict.DoCompare(D(1), D(2)), -1);
  dict.OnCompare = [](TClContainer&, TClData, TClData, int& result) { result = 7; };
  EXPECT_EQ(dict.DoCompare(D(1), D(2)), 7);
}

TEST(TClDictionary, ExistsMovesTheNodeToTheFrontOfItsBucket) {
  TClDictionary dict(1);  // one bucket: the bucket order is the whole order
  for (const char* name : {"a", "b", "c"}) dict.Add(name, D(0));
  EXPECT_EQ(BucketNames(dict), (std::vector<std::string>{"c", "b", "a"}));
  TClData data;
  EXPECT_TRUE(dict.Exists("a", data));
  EXPECT_EQ(BucketNames(dict), (std::vector<std::string>{"a", "c", "b"}));
  EXPECT_TRUE(dict.Exists("b", data));
  EXPECT_EQ(BucketNames(dict), (std::vector<std::string>{"b", "a", "c"}));
}

TEST(TClDictionary, DisposalOnDeleteAndClearButNotOnRehashOrUpdate) {
  std::vector<intptr_t> disposed;
  TClDictionary dict(3);
  dict.DisposeData = [&disposed](TClData d) { disposed.push_back(V(d)); };
  for (int i = 1; i <= 20; ++i) dict.Add("n" + std::to_string(i), D(i));
  dict.SetHashSize(17);
  dict.Update("n5", D(500));
  EXPECT_TRUE(disposed.empty());
  EXPECT_EQ(dict.Count(), 20);
  dict.Delete("n5");
  EXPECT_EQ(disposed, (std::vector<intptr_t>{500}));
  std::string name;
  EXPECT_TRUE(dict.FindName(D(7), name));
  EXPECT_EQ(name, "n7");
  EXPECT_FALSE(dict.FindName(D(5), name));
  dict.OnDisposeData = [&disposed](TClContainer&, TClData d) { disposed.push_back(-V(d)); };
  dict.Clear();
  EXPECT_EQ(dict.Count(), 0);
  EXPECT_EQ(disposed.size(), 20u);
  EXPECT_LT(disposed.back(), 0);  // the event wins over the hook
}

TEST(TClDictionary, RandomOperationsAgainstMap) {
  std::mt19937 rng(3);
  TClDictionary dict(7);
  std::map<std::string, intptr_t> model;  // keyed by the upper-cased name
  auto key = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  for (int step = 0; step < 5000; ++step) {
    std::string name(1 + rng() % 3, 'a');
    for (char& c : name) c = static_cast<char>((rng() % 2 ? 'a' : 'A') + rng() % 5);
    const intptr_t value = static_cast<intptr_t>(rng() % 1000);
    switch (rng() % 5) {
      case 0:
        if (model.count(key(name))) {
          EXPECT_THROW(dict.Add(name, D(value)), EClContainerError);
        } else {
          dict.Add(name, D(value));
          model[key(name)] = value;
        }
        break;
      case 1:
        dict.Delete(name);
        model.erase(key(name));
        break;
      case 2:
        dict.Update(name, D(value));
        if (model.count(key(name))) model[key(name)] = value;
        break;
      case 3:
        if (rng() % 50 == 0) dict.SetHashSize(1 + static_cast<int32_t>(rng() % 40));
        break;
      default: {
        TClData data = nullptr;
        const bool found = dict.Exists(name, data);
        ASSERT_EQ(found, model.count(key(name)) == 1);
        if (found) {
          ASSERT_EQ(V(data), model[key(name)]);
        }
      }
    }
    ASSERT_EQ(dict.Count(), static_cast<int32_t>(model.size()));
  }
}

TEST(TClDictionary, StreamRoundTripAndClassChecks) {
  TClDictionary dict(5);
  dict.StoreData = [](TFilerWriter& w, TClData d) { w.WriteInteger(static_cast<int32_t>(V(d))); };
  for (int i = 0; i < 12; ++i) dict.Add("word" + std::to_string(i), D(i * 1000));
  platform::TMemoryStream stream;
  dict.StoreToStream(stream);

  TClDictionary back(2);
  stream.SetPosition(0);
  try {
    back.LoadFromStream(stream);
    FAIL();
  } catch (const EClContainerError& e) {
    EXPECT_EQ(e.Message(), "Container's LoadData property is unassigned");
  }
  back.LoadData = [](TFilerReader& r) { return D(r.ReadInteger()); };
  stream.SetPosition(0);
  back.LoadFromStream(stream);
  EXPECT_EQ(back.HashSize(), 5);
  EXPECT_EQ(back.Count(), 12);
  TClData data;
  EXPECT_TRUE(back.Exists("WORD11", data));
  EXPECT_EQ(V(data), 11000);

  TClDictionary noStore(3);
  noStore.Add("x", nullptr);
  platform::TMemoryStream ignored;
  EXPECT_THROW(noStore.StoreToStream(ignored), EClContainerError);

  auto loadFails = [&back](const char* cls, const char* node, const char* message) {
    platform::TMemoryStream s;
    TFilerWriter w(s);
    w.WriteString(cls);
    w.WriteString(node);
    w.WriteInteger(3);
    w.WriteListBegin();
    w.WriteListEnd();
    s.SetPosition(0);
    try {
      back.LoadFromStream(s);
      ADD_FAILURE() << cls << " " << node;
    } catch (const EClContainerError& e) {
      EXPECT_EQ(e.Message(), message);
    }
  };
  loadFails("TClBits", "TClDictNode", "Class name on stream differs from object's class");
  loadFails("TClDictionary", "TClNode", "Node class name on stream differs from object's node class");
  loadFails("TClDictionary", "TNoNode", "Node class name TNoNode read from stream is unregistered");
  loadFails("TSomething", "TClDictNode", "Container class name TSomething read from stream is unregistered");
}

}  // namespace
}  // namespace tovenmarsh::fulltext
