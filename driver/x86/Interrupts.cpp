// Interrupt masking on x86 and x86-64 for the Windows builds. The compiler's headers
// declare _disable and _enable but provide no body for a freestanding image.
extern "C" void __cdecl _disable(void)
{
    __asm__ __volatile__("cli" ::: "memory");
}
extern "C" void __cdecl _enable(void)
{
    __asm__ __volatile__("sti" ::: "memory");
}
