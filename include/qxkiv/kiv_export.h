/* Visibility of the functions the host may call. */
#ifndef QXKIV_KIV_EXPORT_H
#define QXKIV_KIV_EXPORT_H

#if defined(__GNUC__)
#define KIV_API __attribute__((visibility("default")))
#else
#define KIV_API
#endif

#ifdef __cplusplus
#define KIV_BEGIN_DECLS extern "C" {
#define KIV_END_DECLS }
#else
#define KIV_BEGIN_DECLS
#define KIV_END_DECLS
#endif

#endif
