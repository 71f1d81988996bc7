/* Included into the translated module ahead of its own code: the check each of its loops makes as
   it comes round. One relaxed load of a flag that is nearly always 0; when the host has set it, the
   call the module is in ends with a trap, as a fault would end it. */
#ifndef KIVO_PDFIUM_LOOP_CHECK_H
#define KIVO_PDFIUM_LOOP_CHECK_H

extern int kivo_pdfium_interrupt;
void kivo_pdfium_interrupted(void);

#define KIVO_LOOP_CHECK()                                                                   \
    do {                                                                                    \
        if (__builtin_expect(__atomic_load_n(&kivo_pdfium_interrupt, __ATOMIC_RELAXED), 0)) \
            kivo_pdfium_interrupted();                                                      \
    } while (0)

#endif
