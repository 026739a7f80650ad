// The engine library is built with no C++ runtime. Its one polymorphic class, the digest, has
// a deleting destructor in its virtual table that the engine never calls (its digests live on
// the stack); that destructor alone needs an operator delete, which the C library's free is
// (the unsized form is the pair the language asks for). Kept inside the library by its export
// list.
#include <cstdlib>
#include <new>

void operator delete(void* p, std::size_t) noexcept
{
    free(p);
}

void operator delete(void* p) noexcept
{
    free(p);
}
