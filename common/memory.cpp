// Compilers may emit calls to memset and memcpy to zero or copy a structure,
// whatever the source says. With no C runtime linked, these are the only
// definitions. rep stosb/movsb keep them tiny, and the optimiser cannot turn
// them back into a call to themselves.
#include <stddef.h>

extern "C" void *memset(void *destination, int value, size_t count)
{
    void *cursor = destination;
    asm volatile("rep stosb" : "+D"(cursor), "+c"(count) : "a"(value) : "memory");
    return destination;
}

extern "C" void *memcpy(void *destination, const void *source, size_t count)
{
    void *cursor = destination;
    asm volatile("rep movsb" : "+D"(cursor), "+S"(source), "+c"(count) : : "memory");
    return destination;
}
