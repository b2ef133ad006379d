// Exports of signing sessions: open a key (and a certificate) once, sign any number of
// documents with it from any number of threads, close it.
//
// A session reaches the caller as an int handle into a table the library owns, never as
// a pointer. A pointer to a freed session cannot be told from a live one, so a caller's
// slip (using a session after closing it, closing it twice) would touch freed memory;
// a handle is looked up in the table, and one that names no open session answers
// BAD_PARAM_ERROR and changes nothing. Each handle carries its slot and the slot's
// generation, which moves on when the session is closed, so a stale handle does not name
// the session that reuses its slot; a slot comes round again only after all the others,
// and a generation only after 2^20 sessions in that slot.
//
// The table's lock is held only to look a handle up or to change the table: a call takes
// a reference to its session and signs without it, and a session closed while calls are
// signing with it lives until the last of them returns (then its key is wiped).
#include <memory>
#include <mutex>

#include "api/export_guard.h"
#include "base/lasterror.h"
#include "base/outbuf.h"
#include "cfdi/session.h"

namespace kvn {
namespace {

constexpr int kSlotBits = 10;
constexpr int kMaxSessions = 1 << kSlotBits;                 // open at once
constexpr unsigned kGenerationMask = (1u << (30 - kSlotBits)) - 1;

using SessionRef = std::shared_ptr<const SigningSession>;

struct Slot {
    unsigned generation = 0;
    SessionRef session;
};

class SessionTable {
public:
    // The handle of a new entry for session, or 0 when every slot is taken.
    int Add(SessionRef session) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int k = 0; k < kMaxSessions; ++k) {
            const int i = (next_ + k) % kMaxSessions;
            Slot& slot = slots_[i];
            if (slot.session) continue;
            slot.session = std::move(session);
            next_ = (i + 1) % kMaxSessions;
            return HandleOf(i, slot.generation);
        }
        return 0;
    }

    // The open session a handle names, or null.
    SessionRef Find(int handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        Slot* slot = SlotOf(handle);
        return slot ? slot->session : nullptr;
    }

    // Takes the session out of the table; null when the handle names no open session.
    // The caller drops the reference outside the lock.
    SessionRef Remove(int handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        Slot* slot = SlotOf(handle);
        if (!slot) return nullptr;
        slot->generation = (slot->generation + 1) & kGenerationMask;
        return std::move(slot->session);
    }

private:
    // From 1 to 2^30 for every slot and generation.
    static int HandleOf(int index, unsigned generation) {
        return static_cast<int>((generation << kSlotBits) | static_cast<unsigned>(index)) + 1;
    }

    Slot* SlotOf(int handle) {
        if (handle < 1) return nullptr;
        const unsigned h = static_cast<unsigned>(handle) - 1;
        Slot& slot = slots_[h & (kMaxSessions - 1)];
        if (!slot.session || slot.generation != h >> kSlotBits) return nullptr;
        return &slot;
    }

    std::mutex mutex_;
    Slot slots_[kMaxSessions];
    int next_ = 0;
};

SessionTable& Sessions() {
    static SessionTable table;
    return table;
}

// The session of a handle, or null with BAD_PARAM_ERROR's message recorded.
SessionRef SessionOf(int signer) {
    SessionRef session = Sessions().Find(signer);
    if (!session) RecordError("Invalid or closed signing session (%d)/Sesion de firma no valida o cerrada", signer);
    return session;
}

}  // namespace
}  // namespace kvn

using namespace kvn;

extern "C" KVN_API int KVN_OpenSigner(const char* keyFile, const char* password, const char* certFile) {
    return RunExport([&] {
        if (!keyFile || !password) return ResultOf(Error::BAD_PARAM_ERROR);
        auto session = std::allocate_shared<SigningSession>(Allocator<SigningSession>());
        if (Error rc = OpenSigningSession(*session, keyFile, password, certFile); Failed(rc)) return ResultOf(rc);
        const int handle = Sessions().Add(std::move(session));
        if (handle == 0) {
            RecordError("Too many signing sessions open (%d)/Demasiadas sesiones de firma abiertas", kMaxSessions);
            return ResultOf(Error::MISC_ERROR);
        }
        return handle;
    });
}

extern "C" KVN_API int KVN_CloseSigner(int signer) {
    return RunExport([&] {
        SessionRef session = Sessions().Remove(signer);
        if (!session) {
            RecordError("Invalid or closed signing session (%d)/Sesion de firma no valida o cerrada", signer);
            return Error::BAD_PARAM_ERROR;
        }
        return kOk;  // the last reference, here or in a call still signing, wipes the key
    });
}

extern "C" KVN_API int KVN_SignXmlWithSigner(int signer, const char* outputFile, const char* xmlFile, int options) {
    return RunExport([&] {
        SessionRef session = SessionOf(signer);
        if (!session || !outputFile || !xmlFile) return Error::BAD_PARAM_ERROR;
        return SessionSignDocument(*session, outputFile, xmlFile, options);
    });
}

extern "C" KVN_API int KVN_MakeSignatureWithSigner(char* out, int outlen, int signer, const char* xmlFile,
                                                   int options) {
    return RunExport([&] {
        SessionRef session = SessionOf(signer);
        if (!session || !xmlFile) return ResultOf(Error::BAD_PARAM_ERROR);
        String seal;
        if (Error rc = SessionMakeSeal(*session, seal, xmlFile, options); Failed(rc)) return ResultOf(rc);
        if (!WantsLength(out, outlen)) CopyOut(out, outlen, seal.data(), seal.size());
        return static_cast<int>(seal.size());
    });
}
