#pragma once

namespace Tessary::HardwareAPI {

// What a process forked without exec (multiprocessing's default) must let go
// of. Only the forking thread lives on in the child: a servo thread of the
// parent does not exist there, a lock another thread held stays taken for
// ever, and an open port is the parent's to use. Open ports and started
// loops register here, and in the child each one's hook runs, newest first
// (so a loop lets go of its stream before the stream's port is closed),
// with only the forking thread alive: it may not allocate or take locks
// another thread could hold.
class AfterFork {
public:
    using Hook = void (*)(void* object);
    // Idempotent for the same object.
    static void Add(void* object, Hook child);
    static void Remove(void* object);
};

}  // namespace Tessary::HardwareAPI
