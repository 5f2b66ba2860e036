// Handle numbering, reuse and lookups of the handle registries.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "client/connection.h"
#include "client/orvelle.h"
#include "client/registry.h"

namespace {

struct Tracked {
  explicit Tracked(std::atomic<int>* alive) : alive(alive) { ++*alive; }
  ~Tracked() { --*alive; }
  std::atomic<int>* alive;
};

}  // namespace

// Runs first in its program: the process-wide registry is still empty.
TEST(RegistryTest, ConnectionHandlesStartAt1000AndAreReusedLastInFirstOut) {
  ASSERT_EQ(connections().Size(), 0u);
  CONNECTION_HANDLE a = ovCreateConnection();
  CONNECTION_HANDLE b = ovCreateConnection();
  EXPECT_EQ(a, 1000);
  EXPECT_EQ(b, 1001);
  EXPECT_EQ(ovDestroyConnection(b), OV_SUCCESS);
  EXPECT_EQ(ovDestroyConnection(a), OV_SUCCESS);
  // Destroyed 1001 then 1000: 1000 comes back first.
  EXPECT_EQ(ovCreateConnection(), 1000);
  EXPECT_EQ(ovCreateConnection(), 1001);
  EXPECT_EQ(ovCreateConnection(), 1002);
  for (CONNECTION_HANDLE h : {1000, 1001, 1002}) EXPECT_EQ(ovDestroyConnection(h), OV_SUCCESS);
}

TEST(RegistryTest, UnknownHandlesGiveBadHandleAndChangeNothing) {
  std::size_t before = connections().Size();
  for (CONNECTION_HANDLE h : {5, -1, 999, 123456}) {
    EXPECT_EQ(ovRenderSpeech(h, "x"), OV_BAD_HANDLE);
    EXPECT_EQ(ovRenderSpeechXML(h, "x"), OV_BAD_HANDLE);
    EXPECT_EQ(ovPushSpeechStream(h, "x"), OV_BAD_HANDLE);
    EXPECT_EQ(ovPushSpeechStreamXML(h, "x"), OV_BAD_HANDLE);
    EXPECT_EQ(ovFlushSpeechStream(h), OV_BAD_HANDLE);
    EXPECT_EQ(ovFlushSpeechStreamXML(h), OV_BAD_HANDLE);
    EXPECT_EQ(ovRenderSpeechAsync(h, "x"), OV_BAD_HANDLE);
    EXPECT_EQ(ovRenderSpeechXMLAsync(h, "x"), OV_BAD_HANDLE);
    EXPECT_EQ(ovOpenConnection(h, "127.0.0.1", 1), OV_BAD_HANDLE);
    EXPECT_EQ(ovCloseConnection(h), OV_BAD_HANDLE);
    EXPECT_EQ(ovSetCallBack(h, nullptr), OV_BAD_HANDLE);
    EXPECT_EQ(ovSetPascalCallBack(h, nullptr), OV_BAD_HANDLE);
    EXPECT_EQ(ovSetUserData(h, nullptr), OV_BAD_HANDLE);
    EXPECT_EQ(ovQueryServer(h, "<q/>"), OV_BAD_HANDLE);
    EXPECT_EQ(ovCancelRequest(h), OV_BAD_HANDLE);
    // Destroying an unknown handle is not an error.
    EXPECT_EQ(ovDestroyConnection(h), OV_SUCCESS);
  }
  EXPECT_EQ(connections().Size(), before);
}

TEST(RegistryTest, NumbersIndependentlyAndReusesEachHandleOnce) {
  std::atomic<int> alive{0};
  HandleRegistry<Tracked> r;
  EXPECT_EQ(r.Register(std::make_shared<Tracked>(&alive)), 1000);
  EXPECT_EQ(r.Register(std::make_shared<Tracked>(&alive)), 1001);
  EXPECT_EQ(r.Register(std::make_shared<Tracked>(&alive)), 1002);
  EXPECT_NE(r.Unregister(1001), nullptr);
  // A second unregistration finds nothing and frees nothing twice.
  EXPECT_EQ(r.Unregister(1001), nullptr);
  EXPECT_EQ(r.Find(1001), nullptr);
  EXPECT_EQ(alive.load(), 2);
  EXPECT_EQ(r.Register(std::make_shared<Tracked>(&alive)), 1001);
  EXPECT_EQ(r.Register(std::make_shared<Tracked>(&alive)), 1003);
  EXPECT_EQ(r.Size(), 4u);
  r.Clear();
  EXPECT_EQ(alive.load(), 0);
  EXPECT_EQ(r.Register(std::make_shared<Tracked>(&alive)), 1000);
}

TEST(RegistryTest, ReplaceKeepsTheHandleAndHandsBackTheOldObject) {
  std::atomic<int> alive{0};
  HandleRegistry<Tracked> r;
  std::int32_t h = r.Register(std::make_shared<Tracked>(&alive));
  auto fresh = std::make_shared<Tracked>(&alive);
  auto old = r.Replace(h, fresh);
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(r.Find(h), fresh);
  old.reset();
  EXPECT_EQ(alive.load(), 1);
  EXPECT_EQ(r.Replace(h + 1, fresh), nullptr);
  EXPECT_EQ(r.Find(h + 1), nullptr);
}

TEST(RegistryTest, ObjectFoundByOneThreadSurvivesUnregistrationByAnother) {
  std::atomic<int> alive{0};
  HandleRegistry<Tracked> r;
  std::int32_t h = r.Register(std::make_shared<Tracked>(&alive));
  std::shared_ptr<Tracked> in_use = r.Find(h);
  std::thread other([&] { r.Unregister(h); });
  other.join();
  EXPECT_EQ(alive.load(), 1);  // still ours
  in_use.reset();
  EXPECT_EQ(alive.load(), 0);
}

TEST(RegistryTest, ConcurrentRegistrationsGetDistinctHandles) {
  std::atomic<int> alive{0};
  HandleRegistry<Tracked> r;
  std::vector<std::vector<std::int32_t>> got(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        std::int32_t h = r.Register(std::make_shared<Tracked>(&alive));
        got[t].push_back(h);
        if (i % 3 == 0) {
          r.Unregister(h);
          got[t].pop_back();
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  std::vector<std::int32_t> all;
  for (auto& v : got) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_EQ(r.Size(), all.size());
  for (std::int32_t h : all) EXPECT_NE(r.Find(h), nullptr);
}

TEST(RegistryTest, EnumeratorRegistryIsSeparate) {
  EXPECT_NE(static_cast<void*>(&enumerators()), static_cast<void*>(&connections()));
  EXPECT_EQ(enumerators().Find(1000), nullptr);
}
