// Marks the functions the Voluna libraries export. The libraries are built
// with hidden visibility, so everything else in them stays private and may
// change between releases without breaking a program linked against them.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define VOLUNA_API __attribute__((visibility("default")))
#else
#define VOLUNA_API
#endif
