// The delivery hint: which file a deleting iterator delivered in the
// layer's previous call, so that deleting it next needs no look of its own.
//
// A tree deleted through the layer costs, per file, one call that delivers
// the file (FSGetCatalogInfoBulk: the iterator's statx identifies it and
// shows it unlocked) and one that deletes it (FSDeleteObject).  The hint
// answers only in the operation right after the one that delivered, so that
// no call of the layer, on any thread, came between: the iterator and its
// folder descriptor are still open, and the entry still has the name it was
// delivered under (closing, renaming or moving would each have been a
// call).  Only a change made outside the layer can have come between, the
// one window a tree deletion leaves.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_DELIVERYHINT_H
#define QUILLMATE_PLATFORM_FILEMANAGER_DELIVERYHINT_H

#include "platform/filemanager/Node.h"

namespace quillmate::fm {

class DeliveryHint {
public:
  /// An operation of the layer begins (the node table's lock): what the
  /// one before it delivered is offered during it, and nothing older.
  void beginOperation() {
    previous_ = current_;
    current_ = Delivery{};
  }
  /// A deleting iterator delivered the unlocked file of entry (index,
  /// generation) as a name inside its folder `dirfd`, identified by its
  /// statx during this operation; `sidecar`: its folder's listing showed a
  /// `._` file beside it.  A later delivery replaces it.
  void delivered(uint32_t index, uint32_t generation, int dirfd, bool sidecar) {
    current_ = Delivery{index, generation, dirfd, sidecar};
  }
  /// The iterator's folder descriptor holding the name of entry (index,
  /// generation) when the operation just before this one delivered it, and
  /// whether a `._` file stood beside it; -1 otherwise.
  int folderIfJustDelivered(uint32_t index, uint32_t generation, bool &sidecar) const {
    if (previous_.index != index || previous_.generation != generation)
      return -1;
    sidecar = previous_.sidecar;
    return previous_.dirfd;
  }

private:
  struct Delivery {
    uint32_t index = kNoNode;
    uint32_t generation = 0;
    int dirfd = -1;
    bool sidecar = false;
  };
  Delivery current_;
  Delivery previous_;
};

} // namespace quillmate::fm

#endif
