#include <windows.h>

#include <atomic>

#include "RoVodEre/NoCrtCore.h"

namespace {

// Pages are whole units of the system's allocation granularity, so each starts on a
// multiple of its size and a block finds its page by masking its address. Every change
// of the address space is costly (in a virtual machine it stops every processor the
// process runs on): pages are committed one by one inside large reserved regions, an
// emptied page stays committed for the next size that needs one, and a region goes back
// to the system in one call when its last page is empty.
const std::uintptr_t kPageBytes = 0x10000;
const std::uint32_t kRegionPages = 256;
const std::size_t kGrain = 8;
const std::size_t kSizeClasses = nocrt::kLargestSmallBlock / kGrain;

struct Page;

struct Region {
    Region* prev;
    Region* next;
    char* base;
    std::uint32_t committed;  // pages committed so far, from the base up
    std::uint32_t used;       // pages that serve a block size
    Page* empty;              // committed pages that serve none, linked through next
};

struct Page {
    Region* region;
    // In the list of pages of its block size that have a free block.
    Page* prev;
    Page* next;
    bool listed;
    void* freed;   // blocks given back, each holding the next one's address
    char* unused;  // the part of the page no block has been cut from yet
    std::uint32_t live;
    std::uint32_t blockBytes;
};

const std::size_t kFirstBlock = (sizeof(Page) + kGrain - 1) / kGrain * kGrain;

// Per block size, its pages with a free block, the most recently used first.
Page* g_available[kSizeClasses];
Region* g_regions;

// Taken for microseconds only: a spin that yields is enough, and needs no set-up before
// the first block of static initialisation.
std::atomic_flag g_busy = ATOMIC_FLAG_INIT;

class PagesLock {
public:
    PagesLock()
    {
        while (g_busy.test_and_set(std::memory_order_acquire))
            SwitchToThread();
    }
    ~PagesLock() { g_busy.clear(std::memory_order_release); }
    PagesLock(const PagesLock&) = delete;
    PagesLock& operator=(const PagesLock&) = delete;
};

std::size_t SizeClass(std::size_t size) { return size == 0 ? 0 : (size - 1) / kGrain; }

bool HasFreeBlock(const Page* page)
{
    return page->freed || page->unused + page->blockBytes <= reinterpret_cast<const char*>(page) + kPageBytes;
}

void Link(Page*& head, Page* page)
{
    page->prev = nullptr;
    page->next = head;
    if (head)
        head->prev = page;
    head = page;
    page->listed = true;
}

void Unlink(Page*& head, Page* page)
{
    if (page->prev)
        page->prev->next = page->next;
    else
        head = page->next;
    if (page->next)
        page->next->prev = page->prev;
    page->listed = false;
}

Region* NewRegion()
{
    void* base = VirtualAlloc(nullptr, kRegionPages * kPageBytes, MEM_RESERVE, PAGE_READWRITE);
    if (!base)
        return nullptr;
    NOCRT_CHECK((reinterpret_cast<std::uintptr_t>(base) & (kPageBytes - 1)) == 0, "page alignment", 1);
    Region* region = static_cast<Region*>(nocrt::AllocateBlock(1, sizeof(Region)));
    if (!region) {
        VirtualFree(base, 0, MEM_RELEASE);
        return nullptr;
    }
    region->prev = nullptr;
    region->next = g_regions;
    if (g_regions)
        g_regions->prev = region;
    g_regions = region;
    region->base = static_cast<char*>(base);
    region->committed = 0;
    region->used = 0;
    region->empty = nullptr;
    return region;
}

void ReleaseRegion(Region* region)
{
    if (region->prev)
        region->prev->next = region->next;
    else
        g_regions = region->next;
    if (region->next)
        region->next->prev = region->prev;
    VirtualFree(region->base, 0, MEM_RELEASE);
    nocrt::FreeBlock(region);
}

// An empty page of a region that has one, else a page newly committed.
void* TakeEmptyPage(Region*& from)
{
    for (Region* region = g_regions; region; region = region->next) {
        if (Page* page = region->empty) {
            region->empty = page->next;
            from = region;
            return page;
        }
    }
    for (Region* region = g_regions; region; region = region->next) {
        if (region->committed == kRegionPages)
            continue;
        void* page = VirtualAlloc(region->base + region->committed * kPageBytes, kPageBytes, MEM_COMMIT,
                                  PAGE_READWRITE);
        if (!page)
            return nullptr;
        ++region->committed;
        from = region;
        return page;
    }
    Region* region = NewRegion();
    if (!region)
        return nullptr;
    void* page = VirtualAlloc(region->base, kPageBytes, MEM_COMMIT, PAGE_READWRITE);
    if (!page) {
        if (region->next)
            ReleaseRegion(region);  // keeps one region in every case
        return nullptr;
    }
    region->committed = 1;
    from = region;
    return page;
}

Page* NewPage(std::size_t blockBytes)
{
    Region* region = nullptr;
    void* memory = TakeEmptyPage(region);
    if (!memory)
        return nullptr;
    ++region->used;
    Page* page = static_cast<Page*>(memory);
    page->region = region;
    page->freed = nullptr;
    page->unused = static_cast<char*>(memory) + kFirstBlock;
    page->live = 0;
    page->blockBytes = static_cast<std::uint32_t>(blockBytes);
    return page;
}

// Gives an empty page back to its region, and the region to the system when it was the
// region's last page in use and another region remains.
void RetirePage(Page* page)
{
    Region* region = page->region;
    page->next = region->empty;
    region->empty = page;
    if (--region->used == 0 && (region->prev || region->next))
        ReleaseRegion(region);
}

// A block of the class, or null when no page can be had.
void* TakeBlock(std::size_t sizeClass)
{
    PagesLock hold;
    Page*& head = g_available[sizeClass];
    Page* page = head;
    if (!page) {
        page = NewPage((sizeClass + 1) * kGrain);
        if (!page)
            return nullptr;
        Link(head, page);
    }
    void* block = page->freed;
    if (block) {
        page->freed = *static_cast<void**>(block);
    } else {
        block = page->unused;
        page->unused += page->blockBytes;
    }
    ++page->live;
    if (!HasFreeBlock(page))
        Unlink(head, page);
    return block;
}

}  // namespace

namespace nocrt {

void* AllocateSmallBlock(std::size_t size)
{
    if (size > kLargestSmallBlock)
        return AllocateBlock(1, size);
    for (;;) {
        if (void* block = TakeBlock(SizeClass(size)))
            return block;
        // As for any failed allocation: the program's handler throws, else the caller
        // sees null.
        std::new_handler handler = std::get_new_handler();
        if (!handler)
            return nullptr;
        handler();
    }
}

void FreeSmallBlock(void* block, std::size_t size)
{
    if (!block)
        return;
    if (size > kLargestSmallBlock) {
        FreeBlock(block);
        return;
    }
    Page* page = reinterpret_cast<Page*>(reinterpret_cast<std::uintptr_t>(block) & ~(kPageBytes - 1));
    PagesLock hold;
    Page*& head = g_available[SizeClass(size)];
    *static_cast<void**>(block) = page->freed;
    page->freed = block;
    --page->live;
    if (!page->listed)
        Link(head, page);
    // An empty page leaves its block size unless it is the only one left to take from, so
    // that a single object made and freed in a loop does not move a page each time.
    if (page->live == 0 && (page->prev || page->next)) {
        Unlink(head, page);
        RetirePage(page);
    }
}

}  // namespace nocrt
