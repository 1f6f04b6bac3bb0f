// The compilers emit calls to memset and memcpy for struct initialisation
// and copies even with builtins off. With no C runtime linked, these are the
// only definitions. rep stosb/movsb keep them tiny and cannot be turned back
// into a call to themselves by the optimiser.
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
