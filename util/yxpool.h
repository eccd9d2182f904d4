// Object pools of the utility library: YXConfig (what an object connects to),
// YXPooledObj (base of pooled objects) and YXPool<T>. Included through
// yxutil.h.
//
// A pool hands out objects created from a configuration, takes them back,
// reuses the most recently returned matching one first, and deletes objects
// idle too long. One re-entrant mutex per pool guards both arrays, both counts
// and the blocked configurations; the pool never holds it while it waits or
// while it calls Init, OnAcquire, OnRelease, Close or a destructor. Any number
// of threads may acquire and release at once; a thread releases every object
// it acquired (Clean and the destructor wait for that).
//
// Threads that find nothing queue up first come, first served, each on its
// own condition. A returned object goes back among the idle ones and wakes
// one sleeping waiter it serves; a thread that is running meanwhile may take
// it first, and the waiter that then finds nothing sleeps again in its place.
// Handing every object to a sleeping thread would leave it idle for a
// wake-up's delay, which under load is longer than the work done with it. The
// unfairness is bounded: once the longest waiter an object serves has waited
// handOffAfter, the object goes straight to that waiter and no other request
// can take it. A request makes a new object only when nobody waits. All
// waiters are woken to look again when an object is deleted (room for a new
// one) or the pool is blocked.
#ifndef YXPOOL_H
#define YXPOOL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <type_traits>

#include "yxaux.h"
#include "yxcontainers.h"

// What pooled objects are made from. Derived classes say when two
// configurations designate the same resource (Compare).
class YXConfig {
 public:
  YXConfig();
  YXConfig(const YXConfig&) = delete;
  YXConfig& operator=(const YXConfig&) = delete;
  // Deletes the parameter store.
  virtual ~YXConfig();
  // The parameter store's value of key, or null (no store, absent key).
  virtual const char* GetValue(const char* key);
  // The parameter store, null until the first SetValue.
  virtual YXParamHash* GetParams();
  // Stores key/value (YXParamHash::Add; its exceptions pass through).
  virtual void SetValue(const char* key, const char* value);
  // True when both configurations designate the same resource.
  virtual bool Compare(YXConfig* other) = 0;

  YXParamHash* params = nullptr;
  int32_t idleTimeout = 60;  // seconds; a setting derived configurations may use
  uint64_t created;          // yxTickCount64() at construction
};

// Base of pooled objects. A YXPool<T> creates objects with `new T(config)`,
// so T must have a constructor taking YXConfig*.
class YXPooledObj {
 public:
  // config: the configuration the object is made for (not owned).
  explicit YXPooledObj(YXConfig* config = nullptr);
  YXPooledObj(const YXPooledObj&) = delete;
  YXPooledObj& operator=(const YXPooledObj&) = delete;
  virtual ~YXPooledObj();
  // Prepares a newly created object (connects it); may throw.
  virtual void Init() = 0;
  // Releases what the object holds before it is deleted; should not throw.
  virtual void Close() = 0;
  // Called when an idle object is handed out again; may throw. Default: nothing.
  virtual void OnAcquire();
  // Called when the object comes back. Default: lastUsed := now.
  virtual void OnRelease();
  // True when the object serves `wanted`: its config's Compare with it (equal
  // pointers when either side is null).
  virtual bool Matches(YXConfig* wanted);
  virtual uint64_t GetLastUsed();

  uint64_t lastUsed;           // yxTickCount64() when last returned (creation at first)
  YXConfig* config = nullptr;  // not owned
};

// What threads waiting for a pool to drain (Clean, ReleaseAll) sleep on: a
// count of the changes that may end their wait (an object given back or
// deleted, the pool blocked), and the number of threads in Acquire's wait.
// A drainer reads the count before it looks at the pool and sleeps only while
// the count is still that, so a change between its look and its sleep is
// never missed. Kept apart from the pool's re-entrant mutex, which a
// condition variable cannot wait on. Every wake happens under this mutex:
// the thread woken may free the pool at once.
class YXPoolChanges {
 public:
  using Clock = std::chrono::steady_clock;
  uint64_t Count();
  // Counts a change and wakes every sleeper; the caller holds the pool's
  // mutex. Nothing to do while no thread drains.
  void Announce();
  // Sleeps until the count differs from seen; true when it does, false when
  // the deadline came first.
  bool WaitPast(uint64_t seen, Clock::time_point deadline);
  void WaitPast(uint64_t seen);
  // Threads inside Acquire's wait.
  int32_t Waiters();
  void Enter();
  void Leave();
  // Threads waiting for the pool to drain (Clean, ReleaseAll).
  void EnterDrain();
  void LeaveDrain();
  // Sleeps until no thread is in Acquire's wait; false when the
  // deadline came first.
  bool WaitForNoWaiters(Clock::time_point deadline);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t count_ = 0;
  int32_t waiters_ = 0;
  std::atomic<int32_t> drainers_{0};  // changed under mutex_, read without it by Announce
};

template <class T>
class YXPool {
  static_assert(std::is_base_of_v<YXPooledObj, T>, "pooled objects derive from YXPooledObj");

 public:
  // Seconds Clean and the destructor wait for objects still in use.
  static constexpr int kDefaultReleaseWait = 10;
  // How long a waiter may be passed over by threads that were running when
  // an object came back; past it, the objects it can use are handed to it.
  static constexpr std::chrono::milliseconds kHandOffAfter{2};

  // An empty pool of at most maxSize objects; idle time-out 60 s; no
  // configuration. Out of memory: "YXPool::YXPool", kind 0, 8001, "Couldn't
  // allocate available list array" / "Couldn't allocate user list array", or
  // "YXList::YXList" 8001 for the blocked list.
  explicit YXPool(int maxSize) { _construct(maxSize); }
  // The same with the configuration new objects are made from (owned by the
  // pool unless ownsConfig is cleared) and the idle time-out in seconds.
  YXPool(YXConfig* poolConfig, int maxSize, int idleTimeoutSeconds = 60) {
    _construct(maxSize);
    config = poolConfig;
    idleTimeout = idleTimeoutSeconds;
  }
  YXPool(const YXPool&) = delete;
  YXPool& operator=(const YXPool&) = delete;

  // ReleaseAll; never throws. When objects are still in use after the wait,
  // the failure goes to yxReportError; the idle objects and the pool's own
  // resources are freed, but the objects in use are left to their users and
  // so is the configuration they point to: neither is freed under them (the
  // holder of such an object deletes it, and the configuration, itself).
  virtual ~YXPool() {
    try {
      ReleaseAll();
    } catch (const YXException& e) {
      char text[YX_MSG_SIZE + 64];
      std::snprintf(text, sizeof text, "YXPool::~YXPool - %s", e.GetErrorMsg());
      yxReportError(text, e.GetErrorCode());
      _freeResources(false);
    } catch (...) {
      yxReportError("YXPool::~YXPool - unexpected failure while releasing the pool", -1);
      _freeResources(false);
    }
  }

  // An object for wanted (new objects are made with `new T(wanted)`).
  // - Pool blocked, or wanted among the configurations being cleaned:
  //   "YXPool::Acquire", kind 1, 8002, "Couldn't acquire object, pool is blocked"
  //   (also when that happens while waiting).
  // - The most recently returned idle object that Matches wanted, else a new
  //   one while the pool has room; when there is neither, the thread waits
  //   up to `timeout` seconds (a negative timeout: until one comes free) in
  //   the queue of waiters and takes a returned object it serves when it is
  //   woken for one (past handOffAfter: is handed one when its turn comes).
  //   A time-out of 0 does not look at all. None found: "YXPool::Acquire",
  //   kind 2, 8004, "Couldn't acquire object, pool is exhausted". A waiter
  //   handed an object just as its time ran out takes it.
  // - A new object runs Init, a reused one OnAcquire, outside the mutex; when
  //   that throws, the object leaves the pool, is deleted, and the exception
  //   is thrown on unchanged.
  T* Acquire(YXConfig* wanted, int timeout = 10) {
    if (timeout == 0) {
      _throwIfBlocked(wanted, "YXPool::Acquire");
      _throwExhausted();
    }
    auto deadline = YXPoolChanges::Clock::now() + std::chrono::seconds(timeout);
    bool created = false;
    T* object = nullptr;
    std::optional<WaiterMark> waiting;  // only a thread that waits is counted
    Waiter me(wanted);
    {
      BusyHold hold(mutex);
      // Behind those already waiting: no new object while anyone waits.
      object = _takeOrCreate(wanted, waitersHead_ == nullptr, created);
      if (!object) {
        waiting.emplace(changes_);
        _enqueue(&me);
      }
    }
    while (!object) {
      bool timedOut = !me.Sleep(timeout < 0, deadline);
      BusyHold hold(mutex);
      if (me.handed) {  // the releaser took it out of the queue
        object = me.handed;
        break;
      }
      me.Rearm();
      me.called = false;
      try {
        object = _takeOrCreate(wanted, true, created);
      } catch (...) {
        _dequeue(&me);
        throw;
      }
      if (object) {
        _dequeue(&me);
      } else if (timedOut) {
        _dequeue(&me);
        _throwExhausted();
      }
    }
    return _prepare(object, created);
  }

  // Threads waiting in Acquire for an object to come free.
  int32_t Waiters() { return changes_.Waiters(); }

  // Objects the pool holds, idle and in use, read without the mutex: the
  // figure of a moment, for callers that need no more than that.
  int32_t Size() const { return objects_.load(); }

  // Takes the most recently returned idle object matching the pool's own
  // configuration, without waiting and without making one; it runs OnAcquire.
  // Blocked: 8002 "Couldn't acquire object, pool is blocked"; none idle: 8004
  // "Couldn't acquire object, pool is exhausted" (function "YXPool::Acquire").
  T* AcquireNoWait() {
    bool created = false;
    T* object;
    {
      YXMutexLock hold(mutex);
      object = _takeOrCreate(config, false, created);
    }
    if (!object) _throwExhausted();
    return _prepare(object, false);
  }

  // Gives object back: when it is in use, OnRelease runs (exceptions
  // swallowed) and it becomes the most recently returned idle object (in a
  // shut pool it is closed and deleted instead). An object not in use here
  // is ignored. It goes to the longest waiter it serves when that one has
  // waited handOffAfter, else it wakes the longest waiter it serves that no
  // other returned object woke already. Never throws.
  // OnRelease runs outside the mutex, as Init and OnAcquire do: a database
  // connection's OnRelease takes the engine's process-wide mutex, which must
  // never be taken under a pool's. The object stays in `used` meanwhile, so
  // no other thread can take it and Clean and ReleaseAll still wait for it.
  void Release(T* object) noexcept {
    {
      BusyHold hold(mutex);
      if (_indexOf(used, usedCount, object) < 0) return;
    }
    yxCallOut("YXPool::Release - OnRelease", [&] { object->OnRelease(); });
    bool discard;
    Wakeup wakeup;  // made before the hold: it wakes its waiter once the mutex is free
    {
      BusyHold hold(mutex);
      int index = _indexOf(used, usedCount, object);
      if (index < 0) return;  // released twice at once by a careless caller
      discard = shut_;
      if (!discard) {
        if (_handOrCall(object, wakeup)) return;
        _removeAt(used, usedCount, index);
        available[availableCount++] = object;
        changes_.Announce();  // under the mutex: a drainer may free the pool once it wakes
        return;
      }
    }
    // Closed while still counted in use, so that ReleaseAll cannot free the
    // pool before this thread is done with it.
    _discard(object);
    YXMutexLock hold(mutex);
    int index = _indexOf(used, usedCount, object);
    if (index >= 0) _remove(used, usedCount, index);
    changes_.Announce();
  }

  // Shuts the pool for good, at once, without waiting for objects in use:
  // every acquisition from now on, and every thread waiting in Acquire,
  // fails with 8002 "Couldn't acquire object, pool is blocked"; the idle
  // objects are closed and deleted now, each object in use when it is given
  // back. Close and destructor failures go to yxReportError. The pool's own
  // resources stay until ReleaseAll or the destructor. Never throws.
  void Shut() noexcept {
    YXObjectBatch idle;
    {
      YXMutexLock hold(mutex);
      if (released_ || shut_) return;
      shut_ = true;
      blocked.store(1);
      // Out of memory for the list: the idle objects stay until CleanIdle or ReleaseAll.
      idle = _takeIdleLocked([](T*) { return true; });
      _wakeAll();  // every waiter gives up with 8002
    }
    for (int32_t i = 0; i < idle.count; ++i) _discard(idle.objects[i]);
    VOKTFree(idle.objects);
  }

  // Closes and deletes every idle object whose idle time in whole seconds
  // ((now - GetLastUsed()) / 1000) is at least idleTimeout, except the
  // keepIdle most recently returned ones; each idle object is examined once
  // per call. Objects are taken out under the mutex and closed outside it.
  // Returns how many were deleted. When a Close or destructor throws a
  // YXException, the other objects are still deleted and the first exception
  // is thrown on.
  int32_t CleanIdle(int32_t keepIdle = 0) {
    uint64_t now = yxTickCount64();
    int32_t examined = 0;
    YXObjectBatch doomed = _takeIdle([&](T* object) {
      // `available` runs from the longest idle to the most recently returned.
      if (examined++ >= availableCount - keepIdle) return false;
      int64_t idleMs = static_cast<int64_t>(now - object->GetLastUsed());
      return idleMs / 1000 >= static_cast<int64_t>(idleTimeout);
    });
    int32_t deleted = doomed.count;
    _deleteObjects(doomed);
    return deleted;
  }

  // Deletes every idle object of cleanConfig once no object of the pool is in
  // use. Meanwhile Acquire for cleanConfig fails with 8002.
  // - Blocked pool, or cleanConfig already being cleaned: "YXPool::Clean",
  //   kind 1, 8002, "Couldn't clean pool, it is blocked".
  // - Objects still in use after releaseWaitSeconds:
  //   "YXPool::Clean", kind 1, 8003, "Pool has at least one object holding the cleanup".
  void Clean(YXConfig* cleanConfig) {
    {
      YXMutexLock hold(mutex);
      if (blocked.load() || blockedConfigs->Contains(cleanConfig))
        YX_THROW("YXPool::Clean", YX_KIND_OPERATION, YX_ERR_POOL_BLOCKED, "Couldn't clean pool, it is blocked");
      blockedConfigs->Add(cleanConfig);
      _wakeAll();  // waiters for cleanConfig give up with 8002
    }
    bool idle = _waitUntilUnused();
    YXObjectBatch doomed;
    {
      YXMutexLock hold(mutex);
      idle = idle && usedCount == 0;
      if (idle) doomed = _takeIdleLocked([&](T* object) { return object->Matches(cleanConfig); });
      blockedConfigs->Remove(cleanConfig);
      if (doomed.failed) YX_THROW("YXPool::Clean", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Couldn't allocate the clean-up list");
      if (!idle)
        YX_THROW("YXPool::Clean", YX_KIND_OPERATION, YX_ERR_POOL_IN_USE,
                 "Pool has at least one object holding the cleanup");
    }
    _deleteObjects(doomed);
  }

  // Blocks the pool for good, waits up to releaseWaitSeconds for objects in
  // use, then closes and deletes the idle objects and frees the pool's
  // resources. Objects still in use: "YXPool::ReleaseAll", kind 2, 8003,
  // "Pool has at least one object holding the releaseAll", and nothing is
  // freed. Called by the destructor; a second call does nothing.
  void ReleaseAll() {
    if (released_) return;
    {
      YXMutexLock hold(mutex);
      blocked.store(1);
      _wakeAll();  // every waiter gives up with 8002
    }
    if (!_waitUntilUnused())
      YX_THROW("YXPool::ReleaseAll", YX_KIND_NOT_FOUND, YX_ERR_POOL_IN_USE,
               "Pool has at least one object holding the releaseAll");
    // A woken waiter still takes the mutex once to see the pool blocked.
    {
      DrainMark draining(changes_);
      changes_.WaitForNoWaiters(YXPoolChanges::Clock::now() + std::chrono::seconds(releaseWaitSeconds));
    }
    _freeResources(true);
  }

  T** available = nullptr;          // idle objects; the most recently returned last
  int32_t maxSize = 0;              // most objects at once, idle and in use
  std::atomic<uint8_t> blocked{0};  // set by ReleaseAll and Shut; refuses every acquisition
  int32_t availableCount = 0;
  int32_t usedCount = 0;
  T** used = nullptr;                          // objects handed out
  YXList<YXConfig>* blockedConfigs = nullptr;  // configurations being cleaned (not owned)
  YX_MUTEX mutex = nullptr;                    // re-entrant; also guards shareCount for its users
  YXConfig* config = nullptr;                  // what new objects are made from
  int32_t shareCount = 0;                      // owners sharing the pool; never read by the pool
  uint64_t created = 0;                        // yxTickCount64() at construction
  int32_t idleTimeout = 60;                    // seconds
  uint8_t ownsConfig = 1;                      // the pool deletes config when released
  int32_t releaseWaitSeconds = kDefaultReleaseWait;
  std::chrono::milliseconds handOffAfter = kHandOffAfter;  // changed only while nobody waits

 private:
  // Holds the pool's mutex for a scope, trying for it a while before
  // sleeping: every acquisition and release takes it for a few list
  // operations, and a thread that sleeps for it costs two context switches,
  // many times what the wait would have been.
  class BusyHold {
   public:
    explicit BusyHold(YX_MUTEX mutex) : mutex_(mutex) {
      for (int tries = 0; tries < kTries; ++tries) {
        if (yxMutexTryLock(mutex_)) return;
        _relax();
      }
      yxMutexLock(mutex_);
    }
    ~BusyHold() { yxMutexRelease(mutex_); }
    BusyHold(const BusyHold&) = delete;
    BusyHold& operator=(const BusyHold&) = delete;

   private:
    static constexpr int kTries = 100;
    static void _relax() {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
    YX_MUTEX mutex_;
  };

  // Counts the calling thread among the waiters while it is in scope.
  class WaiterMark {
   public:
    explicit WaiterMark(YXPoolChanges& changes) : changes_(changes) { changes_.Enter(); }
    ~WaiterMark() { changes_.Leave(); }
    WaiterMark(const WaiterMark&) = delete;
    WaiterMark& operator=(const WaiterMark&) = delete;

   private:
    YXPoolChanges& changes_;
  };

  // Counts the calling thread among those waiting for the pool to drain.
  class DrainMark {
   public:
    explicit DrainMark(YXPoolChanges& changes) : changes_(changes) { changes_.EnterDrain(); }
    ~DrainMark() { changes_.LeaveDrain(); }
    DrainMark(const DrainMark&) = delete;
    DrainMark& operator=(const DrainMark&) = delete;

   private:
    YXPoolChanges& changes_;
  };

  // A thread in Acquire's queue, on its own stack. Queue links and `handed`
  // change under the pool's mutex; the waiter leaves only under it, so a
  // thread that finds it queued there may still wake it.
  struct Waiter {
    explicit Waiter(YXConfig* wantedConfig) : wanted(wantedConfig) {}
    // A Wakeup may still hold the sleep mutex after the waiter has left the
    // queue (and may have seen its object): the waiter is gone only once
    // that is done.
    ~Waiter() { std::lock_guard<std::mutex> done(sleep); }
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;
    // Wakes it to look at the pool again.
    void Wake() {
      std::lock_guard<std::mutex> hold(sleep);
      nudged = true;
      woken.notify_one();
    }
    void Rearm() {
      std::lock_guard<std::mutex> hold(sleep);
      nudged = false;
    }
    // Sleeps until handed an object or nudged; false when the deadline came first.
    bool Sleep(bool forever, YXPoolChanges::Clock::time_point deadline) {
      std::unique_lock<std::mutex> hold(sleep);
      auto ready = [&] { return handed != nullptr || nudged; };
      if (forever) {
        woken.wait(hold, ready);
        return true;
      }
      return woken.wait_until(hold, deadline, ready);
    }

    YXConfig* wanted;
    T* handed = nullptr;
    bool nudged = false;
    // Under the pool's mutex: a returned object woke it, and it has not
    // looked since; the next object returned wakes another waiter.
    bool called = false;
    YXPoolChanges::Clock::time_point since;  // when it joined the queue
    Waiter* prev = nullptr;
    Waiter* next = nullptr;
    std::mutex sleep;
    std::condition_variable woken;
  };

  // The wake-up of one waiter, decided under the pool's mutex and done after
  // it is let go: a thread woken while the waker still holds the pool's
  // mutex would at once sleep again on it (and a waker put off the processor
  // by the thread it woke would keep every other thread out of the pool).
  // It holds the waiter's sleep mutex from the decision to the wake, so the
  // waiter cannot leave (~Waiter) before it is done.
  class Wakeup {
   public:
    Wakeup() = default;
    ~Wakeup() {
      if (woken_) woken_->notify_one();
    }  // then hold_ lets the sleep mutex go
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;
    // Under the pool's mutex: the waiter gets object (already in `used`).
    void Hand(Waiter* waiter, T* object) {
      _take(waiter);
      waiter->handed = object;
    }
    // Under the pool's mutex: the waiter looks at the pool again.
    void Nudge(Waiter* waiter) {
      _take(waiter);
      waiter->nudged = true;
    }

   private:
    void _take(Waiter* waiter) {
      hold_ = std::unique_lock<std::mutex>(waiter->sleep);
      woken_ = &waiter->woken;
    }
    std::unique_lock<std::mutex> hold_;
    std::condition_variable* woken_ = nullptr;
  };

  // Under the mutex: the waiter joins the end of the queue / leaves it.
  void _enqueue(Waiter* waiter) {
    waiter->since = YXPoolChanges::Clock::now();
    waiter->prev = waitersTail_;
    waiter->next = nullptr;
    if (waitersTail_)
      waitersTail_->next = waiter;
    else
      waitersHead_ = waiter;
    waitersTail_ = waiter;
  }

  void _dequeue(Waiter* waiter) {
    if (waiter->prev)
      waiter->prev->next = waiter->next;
    else
      waitersHead_ = waiter->next;
    if (waiter->next)
      waiter->next->prev = waiter->prev;
    else
      waitersTail_ = waiter->prev;
    waiter->prev = waiter->next = nullptr;
  }

  // Under the mutex, for an object coming back to the idle ones: the
  // longest waiter it serves gets it when that one has waited handOffAfter
  // and is not called already (the object stays in `used`, going from one
  // user to the next: true); else the longest waiter it serves that is not
  // called already is woken to look.
  bool _handOrCall(T* object, Wakeup& wakeup) {
    if (blocked.load()) return false;
    bool first = true;
    for (Waiter* waiter = waitersHead_; waiter; waiter = waiter->next) {
      if (!first && waiter->called) continue;  // woken for an earlier object: no need to compare
      if (blockedConfigs->Contains(waiter->wanted) || !object->Matches(waiter->wanted)) continue;
      // A waiter already called looks anyway; handing it this object would
      // leave the one it was called for idle with nobody called for it.
      if (first && !waiter->called && YXPoolChanges::Clock::now() - waiter->since >= handOffAfter) {
        _dequeue(waiter);
        wakeup.Hand(waiter, object);
        return true;
      }
      first = false;
      if (!waiter->called) {
        waiter->called = true;
        wakeup.Nudge(waiter);
        return false;
      }
    }
    return false;
  }

  // Under the mutex: every waiter looks again (room for a new object, the
  // pool or a configuration blocked), and so does every drainer.
  void _wakeAll() {
    for (Waiter* waiter = waitersHead_; waiter; waiter = waiter->next) waiter->Wake();
    changes_.Announce();
  }

  [[noreturn]] static void _throwExhausted() {
    YX_THROW("YXPool::Acquire", YX_KIND_NOT_FOUND, YX_ERR_FULL, "Couldn't acquire object, pool is exhausted");
  }

  struct YXObjectBatch {
    T** objects = nullptr;
    int32_t count = 0;
    bool failed = false;  // the batch array could not be allocated
  };

  void _construct(int maxObjects) {
    available = yxdetail::allocPointerArray<T*>(maxObjects);
    if (!available) YX_THROW("YXPool::YXPool", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Couldn't allocate available list array");
    used = yxdetail::allocPointerArray<T*>(maxObjects);
    if (!used) {
      VOKTFree(available);
      YX_THROW("YXPool::YXPool", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Couldn't allocate user list array");
    }
    try {
      blockedConfigs = new YXList<YXConfig>(100);
      mutex = yxMutexCreate();
    } catch (...) {
      delete blockedConfigs;
      VOKTFree(available);
      VOKTFree(used);
      throw;
    }
    maxSize = maxObjects;
    created = yxTickCount64();
  }

  void _throwIfBlocked(YXConfig* wanted, const char* function) {
    YXMutexLock hold(mutex);
    if (blocked.load() || blockedConfigs->Contains(wanted))
      YX_THROW(function, YX_KIND_OPERATION, YX_ERR_POOL_BLOCKED, "Couldn't acquire object, pool is blocked");
  }

  // Under the mutex (the caller holds it): the most recently returned idle
  // object matching wanted, else (allowCreate) a new one while there is
  // room; it goes into `used`.
  T* _takeOrCreate(YXConfig* wanted, bool allowCreate, bool& created) {
    if (blocked.load() || blockedConfigs->Contains(wanted))
      YX_THROW("YXPool::Acquire", YX_KIND_OPERATION, YX_ERR_POOL_BLOCKED, "Couldn't acquire object, pool is blocked");
    T* object = nullptr;
    for (int32_t i = availableCount - 1; i >= 0 && !object; --i) {
      if (available[i]->Matches(wanted)) {
        object = available[i];
        _removeAt(available, availableCount, i);
      }
    }
    if (!object && allowCreate && usedCount + availableCount < maxSize) {
      object = new T(wanted);
      created = true;
      objects_.fetch_add(1);
    }
    if (object) used[usedCount++] = object;
    return object;
  }

  // Init (new) or OnAcquire (reused) outside the mutex; a failure takes the
  // object out of the pool and deletes it before the exception goes on.
  T* _prepare(T* object, bool created) {
    try {
      if (created)
        object->Init();
      else
        object->OnAcquire();
    } catch (...) {
      // Deleted while still counted in use, so that ReleaseAll cannot free
      // the pool before this thread is done with it.
      delete object;
      YXMutexLock hold(mutex);
      int index = _indexOf(used, usedCount, object);
      if (index >= 0) _remove(used, usedCount, index);
      _wakeAll();  // room for a new object
      throw;
    }
    return object;
  }

  // Waits up to releaseWaitSeconds until nothing is in use, looking again
  // whenever an object comes back; true when nothing is.
  bool _waitUntilUnused() {
    auto deadline = YXPoolChanges::Clock::now() + std::chrono::seconds(releaseWaitSeconds);
    DrainMark draining(changes_);
    for (;;) {
      uint64_t seen = changes_.Count();
      {
        YXMutexLock hold(mutex);
        if (usedCount == 0) return true;
      }
      if (!changes_.WaitPast(seen, deadline)) return false;
    }
  }

  template <class Pred>
  YXObjectBatch _takeIdle(Pred doomed) {
    YXMutexLock hold(mutex);
    YXObjectBatch batch = _takeIdleLocked(doomed);
    if (batch.failed)
      YX_THROW("YXPool::CleanIdle", YX_KIND_SYSTEM, YX_ERR_ALLOC, "Couldn't allocate the clean-up list");
    return batch;
  }

  // Moves the idle objects for which doomed() holds out of `available`,
  // keeping the order of the others. The caller holds the mutex.
  template <class Pred>
  YXObjectBatch _takeIdleLocked(Pred doomed) {
    YXObjectBatch batch;
    if (availableCount == 0) return batch;
    batch.objects = yxdetail::allocPointerArray<T*>(availableCount);
    if (!batch.objects) {
      batch.failed = true;
      return batch;
    }
    int32_t kept = 0;
    for (int32_t i = 0; i < availableCount; ++i) {
      if (doomed(available[i]))
        batch.objects[batch.count++] = available[i];
      else
        available[kept++] = available[i];
    }
    for (int32_t i = kept; i < availableCount; ++i) available[i] = nullptr;
    availableCount = kept;
    objects_.fetch_sub(batch.count);
    return batch;
  }

  // Closes and deletes a batch outside the mutex. Every object is deleted
  // even when one fails; the first failure is thrown on afterwards.
  void _deleteObjects(YXObjectBatch batch) {
    bool failed = false;
    YXException first("YXPool::CleanIdle", YX_KIND_SYSTEM, -1, "Couldn't close a pooled object", __FILE__, __LINE__);
    auto note = [&](const YXException* e) {
      if (!failed && e) first = *e;
      failed = true;
    };
    for (int32_t i = 0; i < batch.count; ++i) {
      try {
        batch.objects[i]->Close();
      } catch (const YXException& e) {
        note(&e);
      } catch (...) {
        note(nullptr);
      }
      try {
        delete batch.objects[i];
      } catch (const YXException& e) {
        note(&e);
      } catch (...) {
        note(nullptr);
      }
    }
    VOKTFree(batch.objects);
    if (batch.count > 0) {
      YXMutexLock hold(mutex);
      _wakeAll();  // room for new objects
    }
    if (failed) throw first;
  }

  static int _indexOf(T** array, int32_t count, T* object) {
    for (int32_t i = 0; i < count; ++i)
      if (array[i] == object) return i;
    return -1;
  }

  static void _removeAt(T** array, int32_t& count, int index) {
    for (int32_t i = index; i < count - 1; ++i) array[i] = array[i + 1];
    array[--count] = nullptr;
  }

  // Takes an object out of the pool for good (it is being deleted).
  void _remove(T** array, int32_t& count, int index) {
    _removeAt(array, count, index);
    objects_.fetch_sub(1);
  }

  // Closes and deletes the idle objects and frees the arrays, the blocked
  // list and the mutex; the configuration too when withConfig is set and the
  // pool owns it. Objects in use are not touched.
  void _freeResources(bool withConfig) noexcept {
    if (released_) return;
    released_ = true;
    for (int32_t i = 0; i < availableCount; ++i) _discard(available[i]);
    availableCount = 0;
    usedCount = 0;
    objects_.store(0);
    VOKTFree(available);
    VOKTFree(used);
    available = used = nullptr;
    delete blockedConfigs;
    blockedConfigs = nullptr;
    if (withConfig && ownsConfig) delete config;
    config = nullptr;
    yxHandleClose(mutex);
    mutex = nullptr;
  }

  // Closes and deletes one object outside the mutex; failures go to yxReportError.
  static void _discard(T* object) noexcept {
    yxCallOut("YXPool - Close", [&] { object->Close(); });
    yxCallOut("YXPool - delete", [&] { delete object; });
  }

  bool released_ = false;
  bool shut_ = false;  // Shut: objects given back are deleted, not kept
  Waiter* waitersHead_ = nullptr;  // the queue of Acquire's waiters, the longest first
  Waiter* waitersTail_ = nullptr;
  YXPoolChanges changes_;
  std::atomic<int32_t> objects_{0};  // availableCount + usedCount, changed under the mutex
};

#endif  // YXPOOL_H
