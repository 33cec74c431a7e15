/*
 * The kernel interface the module is written against: the types and operations of a Linux
 * 2.6.9 i686 kernel that the module calls, with their 2.6.9 names and field names. The
 * simulated kernel in sim/ implements every operation declared here; the module includes
 * this header and its own headers only.
 *
 * Differences from the real header, all forced by running in a 64-bit user-space process:
 *  - user-space addresses are 32-bit numbers (user_addr_t) in the calling process's
 *    simulated address space, not pointers;
 *  - lock, counter and completion types hold C++ atomics, so that the module is correct on
 *    several CPUs and the sanitizers can see every synchronisation;
 *  - struct page, struct task_struct and the slab cache are opaque.
 */
#ifndef KESTREL_PLATFORM_KERNEL_H
#define KESTREL_PLATFORM_KERNEL_H

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/types.h>

/* ---------------------------------------------------------------- basic types */

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef int32_t s32;
typedef unsigned long long u64;
typedef long long s64;
typedef u64 sector_t;

/* A user-space address of the calling process (32-bit i686 user space). */
typedef u32 user_addr_t;

/* Kernel device numbers: 12 bits of major above 20 bits of minor. */
#define MINORBITS 20
#define MINORMASK ((1U << MINORBITS) - 1)
#define MAJOR(dev) ((unsigned int)((dev) >> MINORBITS))
#define MINOR(dev) ((unsigned int)((dev)&MINORMASK))
#define MKDEV(ma, mi) (((u32)(ma) << MINORBITS) | (u32)(mi))

#define PAGE_SHIFT 12
#define PAGE_SIZE (1UL << PAGE_SHIFT)
#define PAGE_MASK (~(PAGE_SIZE - 1))

#ifndef NULL
#define NULL nullptr
#endif

/* ---------------------------------------------------------------- errors
 * The values are the kernel's; a host header that already defines one defines it alike. */

#ifndef EPERM
#define EPERM 1
#endif
#ifndef ENOENT
#define ENOENT 2
#endif
#ifndef EINTR
#define EINTR 4
#endif
#ifndef EIO
#define EIO 5
#endif
#ifndef ENXIO
#define ENXIO 6
#endif
#ifndef ENOEXEC
#define ENOEXEC 8
#endif
#ifndef EBADF
#define EBADF 9
#endif
#ifndef EAGAIN
#define EAGAIN 11
#endif
#ifndef EWOULDBLOCK
#define EWOULDBLOCK EAGAIN
#endif
#ifndef ENOMEM
#define ENOMEM 12
#endif
#ifndef EACCES
#define EACCES 13
#endif
#ifndef EFAULT
#define EFAULT 14
#endif
#ifndef EBUSY
#define EBUSY 16
#endif
#ifndef EEXIST
#define EEXIST 17
#endif
#ifndef ENODEV
#define ENODEV 19
#endif
#ifndef EINVAL
#define EINVAL 22
#endif
#ifndef ENOTTY
#define ENOTTY 25
#endif
#ifndef ETIMEDOUT
#define ETIMEDOUT 110
#endif
#ifndef ENOSPC
#define ENOSPC 28
#endif
#ifndef ENOSYS
#define ENOSYS 38
#endif
#ifndef EOPNOTSUPP
#define EOPNOTSUPP 95
#endif

/* ---------------------------------------------------------------- diagnostics */

#define KERN_EMERG "<0>"
#define KERN_ALERT "<1>"
#define KERN_CRIT "<2>"
#define KERN_ERR "<3>"
#define KERN_WARNING "<4>"
#define KERN_NOTICE "<5>"
#define KERN_INFO "<6>"
#define KERN_DEBUG "<7>"

/* Writes one line to the kernel log; a leading "<N>" gives its level (default 4). */
int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* The kernel's fatal assertion: logs where it fired and halts. */
[[noreturn]] void __kernel_bug(const char *file, int line);
#define BUG() __kernel_bug(__FILE__, __LINE__)
#define BUG_ON(cond)     \
    do {                 \
        if (cond)        \
            BUG();       \
    } while (0)

/* Reports a bug when the caller holds a spin lock, has interrupts off or is in the
 * completion (interrupt) context: the caller is about to sleep. */
void might_sleep(void);

/* ---------------------------------------------------------------- atomics */

typedef struct {
    std::atomic<int> counter;
} atomic_t;

#define ATOMIC_INIT(i) \
    {                  \
        (i)            \
    }

static inline int atomic_read(const atomic_t *v) { return v->counter.load(std::memory_order_acquire); }
static inline void atomic_set(atomic_t *v, int i) { v->counter.store(i, std::memory_order_release); }
static inline void atomic_add(int i, atomic_t *v) { v->counter.fetch_add(i); }
static inline void atomic_sub(int i, atomic_t *v) { v->counter.fetch_sub(i); }
static inline void atomic_inc(atomic_t *v) { v->counter.fetch_add(1); }
static inline void atomic_dec(atomic_t *v) { v->counter.fetch_sub(1); }
static inline int atomic_dec_and_test(atomic_t *v) { return v->counter.fetch_sub(1) == 1; }

/* i386's cmpxchg (a locked compare-and-exchange, a full barrier) on a word: stores n at *ptr
 * when it holds old; returns the value it held. */
template <typename T>
static inline T cmpxchg(std::atomic<T> *ptr, T old, T n)
{
    ptr->compare_exchange_strong(old, n);
    return old;
}

/* ---------------------------------------------------------------- interrupts and spin locks */

/* Disables local interrupts and returns the previous state; restores it. */
unsigned long __local_irq_save(void);
void local_irq_restore(unsigned long flags);
int irqs_disabled(void);
#define local_irq_save(flags) ((flags) = __local_irq_save())
/* Nonzero in the block driver's completion (interrupt) context. */
int in_interrupt(void);

/*
 * The lock validator's view of a lock. Every lock belongs to a class: the locks initialised
 * at one place in the code (one static key per initialisation site, as the init macros
 * below declare), or, for a lock that is never initialised at run time, the lock itself.
 * The validator records, for every class, which classes were held when it was taken, and
 * reports an acquisition that closes a cycle, a second lock of a class already held, and a
 * class taken both in the interrupt context and with interrupts on. A semaphore is a lock
 * to it when made by init_MUTEX or DECLARE_MUTEX; one made by sema_init counts events.
 */
struct lock_class_key {
    char unused;
};
struct lockdep_map {
    const struct lock_class_key *key; /* NULL: the class of the lock's own address */
    const char *name;
    int untracked;                     /* a semaphore used as a counter or an event */
};
#define __LOCKDEP_STR2(x) #x
#define __LOCKDEP_STR(x) __LOCKDEP_STR2(x)
#define __LOCKDEP_SITE(lock) #lock " at " __FILE__ ":" __LOCKDEP_STR(__LINE__)

typedef struct {
    std::atomic<int> lock;
    struct lockdep_map dep_map;
} spinlock_t;

#define SPIN_LOCK_UNLOCKED \
    {                      \
    }
void __spin_lock_init(spinlock_t *lock, const char *name, const struct lock_class_key *key);
#define spin_lock_init(lock)                                       \
    do {                                                           \
        static const struct lock_class_key __key = {0};            \
        __spin_lock_init((lock), __LOCKDEP_SITE(lock), &__key);    \
    } while (0)
void spin_lock(spinlock_t *lock);
void spin_unlock(spinlock_t *lock);
#define spin_lock_irqsave(lock, flags) \
    do {                               \
        local_irq_save(flags);         \
        spin_lock(lock);               \
    } while (0)
#define spin_unlock_irqrestore(lock, flags) \
    do {                                    \
        spin_unlock(lock);                  \
        local_irq_restore(flags);           \
    } while (0)
static inline void spin_lock_irq(spinlock_t *lock)
{
    (void)__local_irq_save();
    spin_lock(lock);
}
static inline void spin_unlock_irq(spinlock_t *lock)
{
    spin_unlock(lock);
    local_irq_restore(0);
}

/* ---------------------------------------------------------------- sleeping locks */

/* Counting semaphore. One made by init_MUTEX or DECLARE_MUTEX is a lock the validator
 * tracks; one made by sema_init or __SEMAPHORE_INITIALIZER, whatever its count, is a counter
 * or an event, which one task may take and another give back. */
struct semaphore {
    std::atomic<int> count;
    struct lockdep_map dep_map;
};
#define __SEMAPHORE_INITIALIZER(name, n) \
    {                                    \
        (n), { NULL, NULL, 1 }           \
    }
#define __MUTEX_INITIALIZER(name) \
    {                             \
        1, { NULL, NULL, 0 }      \
    }
#define DECLARE_MUTEX(name) struct semaphore name = __MUTEX_INITIALIZER(name)
void __sema_init(struct semaphore *sem, int val, int mutex, const char *name,
                 const struct lock_class_key *key);
#define sema_init(sem, val)                                            \
    do {                                                               \
        static const struct lock_class_key __key = {0};                \
        __sema_init((sem), (val), 0, __LOCKDEP_SITE(sem), &__key);     \
    } while (0)
#define init_MUTEX(sem)                                                \
    do {                                                               \
        static const struct lock_class_key __key = {0};                \
        __sema_init((sem), 1, 1, __LOCKDEP_SITE(sem), &__key);         \
    } while (0)
#define init_MUTEX_LOCKED(sem) sema_init((sem), 0)
void down(struct semaphore *sem);                /* uninterruptible; may sleep */
int down_interruptible(struct semaphore *sem);  /* 0 once taken */
int down_trylock(struct semaphore *sem);        /* 0 when taken, 1 when it would sleep */
void up(struct semaphore *sem);

/* Read-write semaphore; a waiting writer keeps new readers out. */
struct rw_semaphore {
    std::atomic<int> activity;        /* readers inside, or -1 for a writer */
    std::atomic<int> waitingWriters;
    struct lockdep_map dep_map;
};
#define __RWSEM_INITIALIZER(name) \
    {                             \
    }
#define DECLARE_RWSEM(name) struct rw_semaphore name = __RWSEM_INITIALIZER(name)
void __init_rwsem(struct rw_semaphore *sem, const char *name, const struct lock_class_key *key);
#define init_rwsem(sem)                                          \
    do {                                                         \
        static const struct lock_class_key __key = {0};          \
        __init_rwsem((sem), __LOCKDEP_SITE(sem), &__key);        \
    } while (0)
void down_read(struct rw_semaphore *sem);
int down_read_trylock(struct rw_semaphore *sem); /* 1 when taken */
void up_read(struct rw_semaphore *sem);
void down_write(struct rw_semaphore *sem);
int down_write_trylock(struct rw_semaphore *sem); /* 1 when taken */
void up_write(struct rw_semaphore *sem);

struct completion {
    std::atomic<unsigned> done;
};
#define COMPLETION_INITIALIZER(work) \
    {                                \
        0                            \
    }
#define DECLARE_COMPLETION(work) struct completion work = COMPLETION_INITIALIZER(work)
void init_completion(struct completion *x);
void complete(struct completion *x);
void wait_for_completion(struct completion *x);

/* ---------------------------------------------------------------- tasks and threads */

struct task_struct;
struct task_struct *get_current(void);
#define current get_current()

#define TASK_RUNNING 0
#define TASK_INTERRUPTIBLE 1
#define TASK_UNINTERRUPTIBLE 2
void __set_current_state(long state);
#define set_current_state(state) __set_current_state(state)

/* Yields the processor. A task whose state is not TASK_RUNNING sleeps until it is woken. */
void schedule(void);
int wake_up_process(struct task_struct *task);

#define CLONE_FS 0x00000200
#define CLONE_FILES 0x00000400
#define CLONE_SIGHAND 0x00000800
#define SIGKILL 9

/* Starts a kernel thread running fn(arg); returns its pid or a negative error. */
int kernel_thread(int (*fn)(void *), void *arg, unsigned long flags);
/* Names the calling kernel thread and detaches it from the process that started it. */
void daemonize(const char *name, ...) __attribute__((format(printf, 1, 2)));
int allow_signal(int sig);
int signal_pending(struct task_struct *task);
/* Completes the completion (when given) and ends the calling kernel thread. */
[[noreturn]] void complete_and_exit(struct completion *comp, long code);

/* ---------------------------------------------------------------- time and randomness */

struct timespec current_kernel_time(void);
/* Sleeps for at least msecs milliseconds. */
void msleep(unsigned int msecs);
/* The same, but a pending signal ends the sleep early; returns the milliseconds left. */
unsigned long msleep_interruptible(unsigned int msecs);
void get_random_bytes(void *buf, int nbytes);

/* ---------------------------------------------------------------- memory */

#define __GFP_HIGHMEM 0x02u
#define __GFP_WAIT 0x10u
#define __GFP_HIGH 0x20u
#define __GFP_IO 0x40u
#define __GFP_FS 0x80u
#define GFP_ATOMIC (__GFP_HIGH)
#define GFP_NOIO (__GFP_WAIT)
#define GFP_NOFS (__GFP_WAIT | __GFP_IO)
#define GFP_KERNEL (__GFP_WAIT | __GFP_IO | __GFP_FS)
#define GFP_USER (__GFP_WAIT | __GFP_IO | __GFP_FS)
#define GFP_HIGHUSER (__GFP_WAIT | __GFP_IO | __GFP_FS | __GFP_HIGHMEM)

void *kmalloc(size_t size, unsigned int flags);
void kfree(const void *obj);
void *vmalloc(unsigned long size);
void vfree(void *addr);

struct page;
struct page *alloc_pages(unsigned int gfp_mask, unsigned int order);
#define alloc_page(gfp_mask) alloc_pages(gfp_mask, 0)
void __free_pages(struct page *page, unsigned int order);
#define __free_page(page) __free_pages((page), 0)
/* Address of a low-memory page; NULL for a high-memory page that is not mapped. */
void *page_address(struct page *page);
void *kmap(struct page *page);
void kunmap(struct page *page);
/* Per-CPU mapping slots of kmap_atomic: process context uses the USER ones, interrupt
 * handlers the IRQ ones, each with local interrupts off, since another handler that maps
 * the same slot would re-point it under its user. */
enum km_type { KM_USER0, KM_USER1, KM_BIO_SRC_IRQ, KM_BIO_DST_IRQ, KM_IRQ0, KM_TYPE_NR };
/* Maps a page for a section that does not sleep, from any context, the completion
 * (interrupt) context included; the caller must not sleep until kunmap_atomic. */
void *kmap_atomic(struct page *page, enum km_type type);
void kunmap_atomic(void *addr, enum km_type type);
void get_page(struct page *page);
void put_page(struct page *page);
int page_count(struct page *page);

typedef struct kmem_cache_s kmem_cache_t;
#define SLAB_HWCACHE_ALIGN 0x00002000UL
/* The name is kept by reference and must live as long as the cache. */
kmem_cache_t *kmem_cache_create(const char *name, size_t size, size_t align, unsigned long flags,
                                void (*ctor)(void *, kmem_cache_t *, unsigned long),
                                void (*dtor)(void *, kmem_cache_t *, unsigned long));
void *kmem_cache_alloc(kmem_cache_t *cachep, unsigned int flags);
void kmem_cache_free(kmem_cache_t *cachep, void *objp);
/* 0 when the cache was destroyed; nonzero when objects were still allocated. */
int kmem_cache_destroy(kmem_cache_t *cachep);

/* ---------------------------------------------------------------- memory mappings */

typedef struct {
    unsigned long pgprot;
} pgprot_t;

/* vm_flags of a mapping. */
#define VM_READ 0x00000001
#define VM_WRITE 0x00000002
#define VM_EXEC 0x00000004
#define VM_SHARED 0x00000008
#define VM_MAYREAD 0x00000010  /* limits for mprotect() */
#define VM_MAYWRITE 0x00000020
#define VM_MAYEXEC 0x00000040
#define VM_MAYSHARE 0x00000080
#define VM_IO 0x00004000       /* memory-mapped I/O or similar */
#define VM_DONTCOPY 0x00020000 /* not copied into the child on fork */
#define VM_RESERVED 0x00080000 /* pages not to be swapped out */

/* Fault types a nopage operation may report through its out-parameter. */
#define VM_FAULT_OOM (-1)
#define VM_FAULT_SIGBUS 0
#define VM_FAULT_MINOR 1
#define VM_FAULT_MAJOR 2

/* What nopage returns when it cannot serve the fault: a bus error for the access, or out
 * of memory. */
#define NOPAGE_SIGBUS (NULL)
#define NOPAGE_OOM ((struct page *)(-1))

struct vm_area_struct;

struct vm_operations_struct {
    void (*open)(struct vm_area_struct *area);
    void (*close)(struct vm_area_struct *area);
    /* The page for the faulting address (page-aligned), with a reference the caller gives
     * back when it unmaps the page; NOPAGE_SIGBUS or NOPAGE_OOM when there is none. */
    struct page *(*nopage)(struct vm_area_struct *area, unsigned long address, int *type);
    int (*populate)(struct vm_area_struct *area, unsigned long address, unsigned long len,
                    pgprot_t prot, unsigned long pgoff, int nonblock);
};

/* One mapping of a process: user addresses [vm_start, vm_end), whole pages. The kernel's
 * memory management owns the record; the mmap operation of a file fills in vm_ops and
 * vm_private_data and may adjust vm_flags. */
struct vm_area_struct {
    unsigned long vm_start;
    unsigned long vm_end;
    pgprot_t vm_page_prot;
    unsigned long vm_flags;
    struct vm_operations_struct *vm_ops;
    unsigned long vm_pgoff; /* offset in the file, in pages */
    struct file *vm_file;   /* the mapped file, with a reference */
    void *vm_private_data;
};

/* ---------------------------------------------------------------- user space */

/* Each returns the number of bytes that could not be copied (0 on success). A failed
 * copy from user space zero-fills what it could not copy. May sleep. */
unsigned long copy_to_user(user_addr_t to, const void *from, unsigned long n);
unsigned long copy_from_user(void *to, user_addr_t from, unsigned long n);
/* One 32-bit word: 0, or -EFAULT when the address is not accessible. */
int get_user(u32 &x, user_addr_t ptr);
int put_user(u32 x, user_addr_t ptr);

/* ---------------------------------------------------------------- modules */

enum module_state {
    MODULE_STATE_LIVE,
    MODULE_STATE_COMING,
    MODULE_STATE_GOING,
};

struct module {
    std::atomic<int> state; /* enum module_state */
    char name[60];
    atomic_t ref;           /* reference count */
    struct task_struct *waiter; /* who waits for the removal */
    /* Lays the module's data out fresh, as loading a module image does. */
    void (*load_data)(void);
    int (*init)(void);
    void (*exit)(void);
    const char *vermagic;
    const char *description;
    const char *license;
    const char *version;
    const char *depends;
};

/* The running module's own record; defined once by the module. */
extern struct module __this_module;
#define THIS_MODULE (&__this_module)

#define VERMAGIC_STRING(release) release " 686 REGPARM 4KSTACKS gcc-3.4"

static inline int module_is_live(struct module *mod)
{
    return mod->state.load() != MODULE_STATE_GOING;
}
static inline unsigned int module_refcount(struct module *mod)
{
    return (unsigned int)atomic_read(&mod->ref);
}
/* Takes a reference unless the module is going away; 1 when taken. */
int try_module_get(struct module *mod);
/* Drops a reference and wakes the remover when the module is going away. */
void module_put(struct module *mod);

/* ---------------------------------------------------------------- bit operations and lists */

/* Atomic bit operations on a word (bit numbers below the word's width). */
static inline void set_bit(int nr, volatile unsigned long *addr)
{
    std::atomic_ref<unsigned long>(*const_cast<unsigned long *>(addr)).fetch_or(1UL << nr);
}
static inline void clear_bit(int nr, volatile unsigned long *addr)
{
    std::atomic_ref<unsigned long>(*const_cast<unsigned long *>(addr)).fetch_and(~(1UL << nr));
}
static inline int test_bit(int nr, const volatile unsigned long *addr)
{
    return (std::atomic_ref<unsigned long>(*const_cast<unsigned long *>(addr)).load() >> nr) & 1;
}
static inline int test_and_set_bit(int nr, volatile unsigned long *addr)
{
    return (std::atomic_ref<unsigned long>(*const_cast<unsigned long *>(addr)).fetch_or(1UL << nr) >> nr) & 1;
}

struct list_head {
    struct list_head *next, *prev;
};
#define LIST_HEAD_INIT(name) {&(name), &(name)}
#define LIST_HEAD(name) struct list_head name = LIST_HEAD_INIT(name)
static inline void INIT_LIST_HEAD(struct list_head *list)
{
    list->next = list;
    list->prev = list;
}
static inline void __list_add(struct list_head *n, struct list_head *prev, struct list_head *next)
{
    next->prev = n;
    n->next = next;
    n->prev = prev;
    prev->next = n;
}
static inline void list_add(struct list_head *n, struct list_head *head) { __list_add(n, head, head->next); }
static inline void list_add_tail(struct list_head *n, struct list_head *head) { __list_add(n, head->prev, head); }
static inline void list_del(struct list_head *entry)
{
    entry->next->prev = entry->prev;
    entry->prev->next = entry->next;
    entry->next = NULL;
    entry->prev = NULL;
}
static inline int list_empty(const struct list_head *head) { return head->next == head; }
#define list_entry(ptr, type, member) ((type *)((char *)(ptr)-offsetof(type, member)))
#define list_for_each(pos, head) for (pos = (head)->next; pos != (head); pos = pos->next)
#define list_for_each_safe(pos, n, head) \
    for (pos = (head)->next, n = pos->next; pos != (head); pos = n, n = pos->next)

/* ---------------------------------------------------------------- block devices */

struct block_device;
struct super_block;
struct request_queue;
struct bio;
typedef struct request_queue request_queue_t;
typedef int(make_request_fn)(struct request_queue *q, struct bio *bio);

/* One partition of a disk: its first sector and size in 512-byte sectors. */
struct hd_struct {
    sector_t start_sect;
    sector_t nr_sects;
};

struct gendisk {
    int major;
    int first_minor;
    int minors;                 /* 1 + the most partitions the disk can have */
    char disk_name[32];
    struct hd_struct **part;    /* partition i at part[i - 1]; NULL when empty */
    struct request_queue *queue;
    void *private_data;
    sector_t capacity;          /* in 512-byte sectors; read with get_capacity */
};
static inline sector_t get_capacity(struct gendisk *disk) { return disk->capacity; }

struct block_device {
    u32 bd_dev;
    struct semaphore bd_sem;          /* held while the partition table changes */
    struct block_device *bd_contains; /* the whole disk's block device (itself for a disk) */
    struct hd_struct *bd_part;        /* the partition, or NULL for a whole disk */
    struct gendisk *bd_disk;
    unsigned bd_block_size;
    int bd_invalidated;
};

/* A block device by device number, with a reference (NULL when the number names no disk or
 * partition); bdput gives the reference back. */
struct block_device *bdget(u32 dev);
void bdput(struct block_device *bdev);

/* A wait queue: the tasks asleep on it, oldest first. */
typedef struct __wait_queue_head {
    spinlock_t lock;
    struct list_head task_list;
} wait_queue_head_t;
/* Whether a task sleeps on the queue. */
static inline int waitqueue_active(wait_queue_head_t *q) { return !list_empty(&q->task_list); }

/* The requests of a queue whose driver takes requests: how many are allocated per direction
 * (READ, WRITE), from the submission that takes one until the driver has ended it, and the
 * submitters asleep for a free one (those that found count at nr_requests). Changed under
 * the queue's lock. */
struct request_list {
    int count[2];
    wait_queue_head_t wait[2];
};

typedef void(request_fn_proc)(struct request_queue *q);

struct request_queue {
    struct request_list rq;           /* meaningful only when request_fn is set */
    /* The driver's function that takes requests off the queue; NULL for a driver that
     * takes bios in its own make_request_fn (a stacked driver), whose rq is unused. */
    request_fn_proc *request_fn;
    /* The request function (a make_request_fn). Written under queue_lock when the queue has
     * one; read by every submission without it, so the word itself is atomic. */
    std::atomic<int (*)(struct request_queue *q, struct bio *bio)> make_request_fn;
    spinlock_t *queue_lock;           /* the driver's lock, or NULL */
    void *queuedata;
    unsigned long nr_requests;        /* requests a direction may have allocated */
};

/* bio: one block I/O request. */
struct bio_vec {
    struct page *bv_page;
    unsigned int bv_len;
    unsigned int bv_offset;
};

typedef int(bio_end_io_t)(struct bio *, unsigned int, int);
typedef void(bio_destructor_t)(struct bio *);

/* bi_flags bits */
#define BIO_UPTODATE 0
#define BIO_EOPNOTSUPP 7
/* bi_rw bits: bit 0 write, bit 1 read-ahead */
#define BIO_RW 0
#define BIO_RW_AHEAD 1
#define READ 0
#define WRITE 1
#define READA 2
#define bio_flagged(bio, flag) test_bit((flag), &(bio)->bi_flags)
#define bio_data_dir(bio) ((bio)->bi_rw & 1)

struct bio {
    sector_t bi_sector;         /* first 512-byte sector */
    struct bio *bi_next;
    struct block_device *bi_bdev;
    unsigned long bi_flags;     /* changed with the bit operations */
    unsigned long bi_rw;
    unsigned short bi_vcnt;
    unsigned short bi_idx;
    unsigned int bi_size;       /* bytes left to do */
    unsigned int bi_max_vecs;
    struct bio_vec *bi_io_vec;
    bio_end_io_t *bi_end_io;
    atomic_t bi_cnt;
    void *bi_private;
    bio_destructor_t *bi_destructor;
};

/* A bio with room for nr_iovecs segments and one reference; NULL when none could be had. */
struct bio *bio_alloc(unsigned int gfp_mask, int nr_iovecs);
void bio_get(struct bio *bio);
void bio_put(struct bio *bio);
/* Completes bytes_done bytes of the bio (error 0 or negative) and calls its bi_end_io. */
void bio_endio(struct bio *bio, unsigned int bytes_done, int error);
/* Submits a bio: remaps a partition's request onto its disk and calls the disk queue's
 * make_request_fn again for as long as it returns nonzero. */
void generic_make_request(struct bio *bio);
void submit_bio(int rw, struct bio *bio);
/* Waits until every processor has passed a quiescent point (a context switch): every
 * submitter that had read a queue's request function when the call began has since either
 * handed its request on or gone to sleep (for a free request, or for memory), which this
 * does not wait for. May sleep. */
void synchronize_kernel(void);

/* buffer_head: the state of one block in memory. */
enum bh_state_bits {
    BH_Uptodate,
    BH_Dirty,
    BH_Lock,
    BH_Req,
    BH_Mapped,
    BH_New,
    BH_Async_Read,
    BH_Async_Write,
    BH_Delay,
    BH_Boundary,
    BH_Write_EIO,
    BH_Ordered,
    BH_Eopnotsupp,
    BH_PrivateStart,
};

struct buffer_head;
typedef void(bh_end_io_t)(struct buffer_head *bh, int uptodate);

struct buffer_head {
    unsigned long b_state;      /* changed with the bit operations */
    struct buffer_head *b_this_page;
    struct page *b_page;
    atomic_t b_count;
    u32 b_size;
    sector_t b_blocknr;
    char *b_data;
    struct block_device *b_bdev;
    bh_end_io_t *b_end_io;
    void *b_private;
    struct list_head b_assoc_buffers;
};

struct buffer_head *alloc_buffer_head(unsigned int gfp_flags);
void free_buffer_head(struct buffer_head *bh);
void set_bh_page(struct buffer_head *bh, struct page *page, unsigned long offset);
static inline void get_bh(struct buffer_head *bh) { atomic_inc(&bh->b_count); }
static inline void put_bh(struct buffer_head *bh) { atomic_dec(&bh->b_count); }
static inline int buffer_locked(const struct buffer_head *bh) { return test_bit(BH_Lock, &bh->b_state); }
static inline int buffer_uptodate(const struct buffer_head *bh) { return test_bit(BH_Uptodate, &bh->b_state); }
static inline void set_buffer_uptodate(struct buffer_head *bh) { set_bit(BH_Uptodate, &bh->b_state); }
/* Clears the lock bit and wakes whoever waits on the buffer. */
void unlock_buffer(struct buffer_head *bh);
/* Sleeps until the buffer is unlocked. */
void __wait_on_buffer(struct buffer_head *bh);
static inline void wait_on_buffer(struct buffer_head *bh)
{
    if (buffer_locked(bh))
        __wait_on_buffer(bh);
}

/* ---------------------------------------------------------------- super blocks and freezing */

/* s_frozen */
enum {
    SB_UNFROZEN = 0,
    SB_FREEZE_WRITE = 1, /* writers through the file system are held back */
    SB_FREEZE_TRANS = 2, /* and everything dirty has been written back */
};

/* A mounted file system. The kernel owns it; the fields are set at mount and s_frozen is
 * changed only by freeze_bdev and thaw_bdev. */
struct super_block {
    u32 s_dev;
    unsigned long s_blocksize;
    unsigned char s_blocksize_bits;
    struct block_device *s_bdev;
    int s_frozen;
    /* Held for reading from get_super to drop_super (so across a freeze, from freeze_bdev
     * to thaw_bdev), for writing by unmount and remount. A waiting writer keeps new readers
     * out: a task holding it may not wait for a lock whose holder may call get_super. */
    struct rw_semaphore s_umount;
};

/* The super block of the file system mounted on bdev, with a reference and its s_umount
 * held for reading, both of which drop_super gives back; NULL when nothing is mounted on it
 * (or bdev is NULL). May sleep. */
struct super_block *get_super(struct block_device *bdev);
void drop_super(struct super_block *sb);
/* Holds writers of the file system on bdev back, waits for those already writing, writes
 * back everything dirty and returns the frozen super block (with a reference); NULL when
 * nothing is mounted on bdev. Either way the device stays held, and a second freeze of it
 * waits, until thaw_bdev. May sleep. */
struct super_block *freeze_bdev(struct block_device *bdev);
/* Lets the writers go and releases the device; sb is what freeze_bdev returned (NULL
 * when it returned NULL). Called once after every freeze_bdev. */
void thaw_bdev(struct block_device *bdev, struct super_block *sb);
/* Writes back the device's dirty buffers and its file system; 0 or a negative error.
 * Nothing for a NULL bdev. May sleep. */
int fsync_bdev(struct block_device *bdev);

/* ---------------------------------------------------------------- files and character devices */

#ifndef S_IFMT
#define S_IFMT 0170000
#endif
#ifndef S_IFCHR
#define S_IFCHR 0020000
#endif
#ifndef S_IFBLK
#define S_IFBLK 0060000
#endif

#define FMODE_READ 1
#define FMODE_WRITE 2

#ifndef O_RDONLY
#define O_RDONLY 00
#endif
#ifndef O_WRONLY
#define O_WRONLY 01
#endif
#ifndef O_RDWR
#define O_RDWR 02
#endif

struct inode {
    u32 i_rdev;
    unsigned int i_mode;
    unsigned int i_uid;
};

struct file {
    const struct file_operations *f_op;
    struct inode *f_inode;
    unsigned int f_flags;
    unsigned int f_mode;
    loff_t f_pos;
    atomic_t f_count;
    void *private_data;
};

struct poll_table_struct;
typedef struct poll_table_struct poll_table;
struct vm_area_struct;

struct file_operations {
    struct module *owner;
    loff_t (*llseek)(struct file *, loff_t, int);
    ssize_t (*read)(struct file *, user_addr_t, size_t, loff_t *);
    ssize_t (*write)(struct file *, user_addr_t, size_t, loff_t *);
    unsigned int (*poll)(struct file *, poll_table *);
    int (*ioctl)(struct inode *, struct file *, unsigned int, unsigned long);
    int (*mmap)(struct file *, struct vm_area_struct *);
    int (*open)(struct inode *, struct file *);
    int (*flush)(struct file *);
    int (*release)(struct inode *, struct file *);
};

/* Registers a character major; 0, or a negative error (-EBUSY when taken). */
int register_chrdev(unsigned int major, const char *name, struct file_operations *fops);
int unregister_chrdev(unsigned int major, const char *name);

#endif /* KESTREL_PLATFORM_KERNEL_H */
