// Export macro of the zodaruruvizi module.
//
// ZODARURUVIZI_BUILDING is defined while the module itself is compiled;
// ZODARURUVIZI_STATIC is defined by the all-static build and its users.
#ifndef ZODARURUVIZI_PLATFORM_EXPORT_H
#define ZODARURUVIZI_PLATFORM_EXPORT_H

#if defined(_WIN32)
#if defined(ZODARURUVIZI_STATIC)
#define ZODARURUVIZI_API
#elif defined(ZODARURUVIZI_BUILDING)
#define ZODARURUVIZI_API __declspec(dllexport)
#else
#define ZODARURUVIZI_API __declspec(dllimport)
#endif
#else
#define ZODARURUVIZI_API __attribute__((visibility("default")))
#endif

#if defined(__GNUC__) || defined(__clang__)
#define ZODARURUVIZI_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ZODARURUVIZI_PRINTF(fmt, args)
#endif

#endif
