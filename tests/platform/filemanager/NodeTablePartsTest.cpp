// The node table's parts on their own: the inode index through any churn,
// the reference codec against references it did not make, node-ID
// assignment, the folder cache's hold on what an operation uses, the
// budget of iterators' folder descriptors, and the delivery hint's
// one-operation window.
#include "platform/filemanager/DeliveryHint.h"
#include "platform/filemanager/FolderDescriptors.h"
#include "platform/filemanager/InodeIndex.h"
#include "platform/filemanager/NodeIDs.h"
#include "platform/filemanager/RefCodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <set>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace quillmate::fm;

std::set<uint32_t> entriesOf(const InodeIndex &index, FSVolumeRefNum volume, uint64_t ino) {
  std::set<uint32_t> out;
  index.each(volume, ino, [&](uint32_t i) { EXPECT_TRUE(out.insert(i).second) << i; });
  return out;
}

// Random insertions and erasures, hard-linked names (entries sharing a key)
// and two volumes among them, in a table kept nearly half full so that probe
// chains cluster and wrap round its end: after every step each key finds
// exactly the entries indexed under it, and nothing else is found.
TEST(InodeIndex, EveryEntryStaysFoundThroughChurn) {
  std::deque<Node> nodes(64);
  InodeIndex index(nodes, 64);
  std::mt19937 random(7);
  std::vector<bool> indexed(nodes.size(), false);
  auto check = [&] {
    std::map<std::pair<FSVolumeRefNum, uint64_t>, std::set<uint32_t>> expected;
    for (uint32_t i = 0; i < nodes.size(); ++i)
      if (indexed[i])
        expected[{nodes[i].volume, nodes[i].ino}].insert(i);
    for (uint32_t i = 0; i < nodes.size(); ++i) {
      const auto &want = expected[{nodes[i].volume, nodes[i].ino}];
      ASSERT_EQ(entriesOf(index, nodes[i].volume, nodes[i].ino), want) << i;
      const uint32_t found = index.find(nodes[i].volume, nodes[i].ino);
      ASSERT_EQ(found == kNoNode, want.empty());
      ASSERT_TRUE(found == kNoNode || want.count(found));
    }
  };
  for (int step = 0; step < 20000; ++step) {
    const uint32_t i = random() % nodes.size();
    if (!indexed[i]) {
      if (index.size() == 31)
        continue;
      // Now and then another name of an indexed file.
      const uint32_t j = random() % nodes.size();
      if (indexed[j] && random() % 4 == 0) {
        nodes[i].ino = nodes[j].ino;
        nodes[i].volume = nodes[j].volume;
      } else {
        nodes[i].ino = random() % 1000;
        nodes[i].volume = static_cast<FSVolumeRefNum>(-1 - static_cast<int>(random() % 2));
      }
      index.insert(i);
    } else {
      index.erase(i);
    }
    indexed[i] = !indexed[i];
    ASSERT_EQ(index.size(), static_cast<size_t>(std::count(indexed.begin(), indexed.end(), true)));
    check();
  }
  EXPECT_EQ(index.bytesUsed(), 64 * sizeof(uint32_t)); // never more than half full

  // Erasing an entry that is not indexed changes nothing; growing keeps all.
  const uint32_t outside = static_cast<uint32_t>(std::find(indexed.begin(), indexed.end(), false) -
                                                 indexed.begin());
  index.erase(outside);
  check();
  for (uint32_t i = 0; i < nodes.size(); ++i)
    if (!indexed[i]) {
      index.insert(i);
      indexed[i] = true;
    }
  EXPECT_GT(index.bytesUsed(), 64 * sizeof(uint32_t));
  check();
}

TEST(RefCodec, TakesBackOnlyWhatItWrote) {
  const RefCodec codec(0x11223344), other(0x55667788);
  FSRef ref;
  codec.encode(12345, 7, -3, &ref);
  uint32_t index = 0, generation = 0;
  ASSERT_EQ(codec.decode(&ref, index, generation), noErr);
  EXPECT_EQ(index, 12345u);
  EXPECT_EQ(generation, 7u);

  // Another process's reference, a zeroed one, one with any byte of its
  // tags damaged, and none at all.
  EXPECT_EQ(other.decode(&ref, index, generation), errFSBadFSRef);
  FSRef zero{};
  EXPECT_EQ(codec.decode(&zero, index, generation), errFSBadFSRef);
  for (size_t at = 0; at < 8; ++at) {
    FSRef damaged = ref;
    damaged.hidden[at] ^= 0x01;
    EXPECT_EQ(codec.decode(&damaged, index, generation), errFSBadFSRef) << at;
  }
  EXPECT_EQ(codec.decode(nullptr, index, generation), paramErr);

  // The bytes depend on nothing but what was encoded.
  FSRef again;
  std::memset(&again, 0xAB, sizeof again);
  codec.encode(12345, 7, -3, &again);
  EXPECT_EQ(std::memcmp(&ref, &again, sizeof ref), 0);
}

struct NodeIDsTest : ::testing::Test {
  std::deque<Node> nodes;
  InodeIndex inodes{nodes, 16};
  NodeIDs ids{nodes, inodes};
  Volume volume;

  NodeIDsTest() { volume.refNum = -1; }
  /// A new entry of inode `ino` born `birth`, indexed, its ID not settled.
  uint32_t entry(uint64_t ino, int64_t birth = 0) {
    nodes.emplace_back();
    nodes.back().ino = ino;
    nodes.back().birth = birth;
    nodes.back().volume = volume.refNum;
    nodes.back().live = true;
    const uint32_t index = static_cast<uint32_t>(nodes.size() - 1);
    inodes.insert(index);
    return index;
  }
  std::vector<uint32_t> showing(uint32_t id) const {
    std::vector<uint32_t> out;
    ids.each(volume.refNum, id, [&](uint32_t i) { out.push_back(i); });
    return out;
  }
};

// Inode numbers where they fit and are free; the volume's own IDs from the
// top down otherwise, skipping any in use.
TEST_F(NodeIDsTest, IDsAreInodeNumbersWhereTheyMayBe) {
  EXPECT_EQ(ids.assign(volume, 1234), 1234u);
  EXPECT_EQ(ids.assign(volume, 2), 0xFFFFFFFFu); // the root's ID
  const uint32_t high = entry(0xFFFFFFFEu);      // an inode number in the way
  nodes[high].nodeID = 0xFFFFFFFEu;
  EXPECT_EQ(ids.assign(volume, uint64_t{1} << 40), 0xFFFFFFFDu);
  EXPECT_EQ(showing(0xFFFFFFFEu), std::vector<uint32_t>{high});
}

// Two files that record one ID (an exchanged file's partner deleted, its
// inode number reused): the first settled keeps it, the other gets an ID of
// its own; another name of a settled file shows the file's ID; when the
// entry the map names goes, the ID passes to the name left.
TEST_F(NodeIDsTest, SettlingNeverGivesOneIDToTwoObjects) {
  const uint32_t first = entry(500), second = entry(600);
  ids.settle(first, volume, 700);
  ids.settle(second, volume, 700);
  EXPECT_EQ(nodes[first].nodeID, 700u);
  EXPECT_NE(nodes[second].nodeID, 700u);
  EXPECT_NE(nodes[second].nodeID, 600u); // an ID of the process's own
  EXPECT_EQ(showing(700), std::vector<uint32_t>{first});

  const uint32_t link = entry(500);
  ids.settle(link, volume, 0);
  EXPECT_EQ(nodes[link].nodeID, 700u);
  inodes.erase(first);
  ids.released(first);
  EXPECT_EQ(showing(700), std::vector<uint32_t>{link});

  // A file recording nothing shows its inode number.
  const uint32_t plain = entry(800);
  ids.settle(plain, volume, 0);
  EXPECT_EQ(nodes[plain].nodeID, 800u);
  EXPECT_EQ(showing(800), std::vector<uint32_t>{plain});
}

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }
int openRoot() { return open("/", O_PATH | O_DIRECTORY); }

// Descriptors handed out during an operation stay open however many it
// opens; the next operation closes the least recently used first.
TEST(FolderCache, KeepsWhatTheOperationHoldsAndEvictsTheLeastRecentlyUsed) {
  FolderCache cache;
  cache.beginOperation();
  std::vector<int> fds;
  for (uint32_t i = 0; i < 70; ++i) {
    fds.push_back(openRoot());
    cache.keep(i, 1, fds.back());
  }
  for (uint32_t i = 0; i < 70; ++i) {
    EXPECT_TRUE(isOpen(fds[i])) << i;
    EXPECT_EQ(cache.find(i, 1), fds[i]) << i;
  }
  EXPECT_EQ(cache.find(0, 2), -1); // another generation of the entry

  cache.beginOperation();
  EXPECT_EQ(cache.find(0, 1), fds[0]); // used again: now the most recent
  const int newer = openRoot();
  cache.keep(100, 1, newer);
  EXPECT_FALSE(isOpen(fds[1]));
  EXPECT_EQ(cache.find(1, 1), -1);
  EXPECT_EQ(cache.find(0, 1), fds[0]);

  cache.forget(0);
  EXPECT_FALSE(isOpen(fds[0]));
  EXPECT_EQ(cache.find(0, 1), -1);

  // Out of descriptors: all but what this operation holds close.
  cache.beginOperation();
  EXPECT_EQ(cache.find(2, 1), fds[2]);
  EXPECT_EQ(cache.releaseIdle(), 68u); // 2..69 and the newer one, less the one held
  EXPECT_TRUE(isOpen(fds[2]));
  EXPECT_FALSE(isOpen(newer));
  EXPECT_EQ(cache.find(3, 1), -1);
}

using Ticket = IteratorFolders::Ticket;

// A loan ends with its iterator (which closes the descriptor) or its entry
// (the iterator keeps the descriptor, but it serves the table no more).
TEST(IteratorFolders, ALoanEndsWithItsIteratorOrItsEntry) {
  IteratorFolders folders(IteratorFolders::kMinimumBudget);
  folders.beginOperation();
  const int a = openRoot(), b = openRoot();
  const Ticket ta = folders.adopt(3, 1, a);
  const Ticket tb = folders.adopt(4, 1, b);
  EXPECT_EQ(folders.find(3, 1), a);
  EXPECT_EQ(folders.find(3, 2), -1);
  folders.release(ta);
  EXPECT_FALSE(isOpen(a));
  EXPECT_EQ(folders.find(3, 1), -1);
  folders.forget(4);
  EXPECT_EQ(folders.find(4, 1), -1);
  EXPECT_FALSE(folders.lent(tb));
  EXPECT_EQ(folders.use(tb), b);
  folders.release(tb);
  EXPECT_FALSE(isOpen(b));
  EXPECT_EQ(folders.open(), 0u);
}

// Within one operation every descriptor stays, whatever the budget; the
// next operation closes the least recently used beyond it, never one used
// during that operation.  A suspended ticket is found as such, resumes with
// a new descriptor, and is lent again; out of descriptors, every one not
// used during the operation closes.
TEST(IteratorFolders, KeepWithinTheBudgetClosingTheLeastRecentlyUsed) {
  IteratorFolders folders(IteratorFolders::kMinimumBudget);
  const size_t budget = folders.budget();
  std::vector<int> fds;
  std::vector<Ticket> tickets;
  folders.beginOperation();
  for (uint32_t i = 0; i < budget + 4; ++i) {
    fds.push_back(openRoot());
    tickets.push_back(folders.adopt(i, 1, fds.back()));
  }
  EXPECT_EQ(folders.open(), budget + 4);
  for (int fd : fds)
    EXPECT_TRUE(isOpen(fd)) << fd;

  folders.beginOperation();
  EXPECT_EQ(folders.use(tickets[0]), fds[0]); // now the most recently used
  const Ticket late = folders.adopt(100, 1, openRoot());
  EXPECT_EQ(folders.open(), budget);
  EXPECT_EQ(folders.suspended(), 5u);
  EXPECT_EQ(folders.suspensions(), 5u);
  EXPECT_TRUE(isOpen(fds[0]));
  for (uint32_t i = 1; i <= 5; ++i) {
    EXPECT_FALSE(isOpen(fds[i])) << i;
    EXPECT_EQ(folders.find(i, 1), -1) << i;
    EXPECT_EQ(folders.use(tickets[i]), -1) << i;
    EXPECT_EQ(folders.suspendedOf(i, 1), tickets[i]) << i;
  }
  EXPECT_TRUE(isOpen(fds[6]));
  EXPECT_EQ(folders.suspendedOf(0, 1), IteratorFolders::kNoTicket);
  EXPECT_EQ(folders.suspendedOf(1, 2), IteratorFolders::kNoTicket);
  // The open ones, the most recently used first.
  EXPECT_EQ(folders.findOpen([](uint32_t) { return true; }), late);
  EXPECT_EQ(folders.findOpen([](uint32_t i) { return i == 6; }), tickets[6]);
  EXPECT_EQ(folders.findOpen([](uint32_t i) { return i == 1; }), IteratorFolders::kNoTicket);

  // Resumed, the oldest not used during this operation makes room.
  const int again = openRoot();
  folders.resume(tickets[1], again);
  EXPECT_EQ(folders.find(1, 1), again);
  EXPECT_EQ(folders.resumptions(), 1u);
  EXPECT_FALSE(isOpen(fds[6]));
  EXPECT_EQ(folders.open(), budget);
  EXPECT_EQ(folders.suspended(), 5u);

  folders.beginOperation();
  EXPECT_EQ(folders.use(tickets[0]), fds[0]);
  EXPECT_EQ(folders.suspendIdle(), budget - 1);
  EXPECT_EQ(folders.open(), 1u);
  EXPECT_TRUE(isOpen(fds[0]));
  EXPECT_FALSE(isOpen(again));

  for (Ticket t : tickets)
    folders.release(t);
  folders.release(late);
  EXPECT_EQ(folders.open(), 0u);
  EXPECT_EQ(folders.suspended(), 0u);
  EXPECT_FALSE(isOpen(fds[0]));
}

TEST(IteratorFolders, TheBudgetIsAQuarterOfTheDescriptorLimitAndNoLessThanTheMinimum) {
  struct rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(IteratorFolders::budgetForLimit(),
            std::max<size_t>(IteratorFolders::kMinimumBudget, limit.rlim_cur / 4));
  IteratorFolders folders(1);
  folders.setBudget(1);
  EXPECT_EQ(folders.budget(), IteratorFolders::kMinimumBudget);
}

// Offered in the very next operation only, for the entry and generation
// delivered, with whether a `._` file stood beside it; the last delivery of
// an operation is the one offered.
TEST(DeliveryHint, OfferedInTheNextOperationOnly) {
  DeliveryHint hint;
  bool sidecar = true;
  hint.beginOperation();
  hint.delivered(5, 2, 30, false);
  EXPECT_EQ(hint.folderIfJustDelivered(5, 2, sidecar), -1); // not during the same operation
  hint.beginOperation();
  EXPECT_EQ(hint.folderIfJustDelivered(5, 2, sidecar), 30);
  EXPECT_FALSE(sidecar);
  EXPECT_EQ(hint.folderIfJustDelivered(5, 3, sidecar), -1); // the entry was reused since
  EXPECT_EQ(hint.folderIfJustDelivered(6, 2, sidecar), -1);
  hint.beginOperation();
  EXPECT_EQ(hint.folderIfJustDelivered(5, 2, sidecar), -1); // a call came between

  hint.delivered(5, 2, 30, false);
  hint.delivered(6, 1, 31, true);
  hint.beginOperation();
  EXPECT_EQ(hint.folderIfJustDelivered(5, 2, sidecar), -1);
  EXPECT_EQ(hint.folderIfJustDelivered(6, 1, sidecar), 31);
  EXPECT_TRUE(sidecar);
}

} // namespace
