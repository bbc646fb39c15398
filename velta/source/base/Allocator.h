// Internal: the interface of the framework's memory allocators.
#pragma once

class Allocator {
public:
    virtual void* allocate(unsigned long size, void* hint) = 0;
    virtual void deallocate(void* p, unsigned long size) = 0;
    virtual ~Allocator() = default;
};
