// The cJSON functions, exported to the host from this library so that a host linked with
// -lqxkiv alone can build and read documents. Each forwards to the system libcjson, looked up
// once through a handle on that library itself, so the lookup finds its definition and not
// this one whatever order the host loaded the two in.
#include <cjson/cJSON.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "qxkiv/kiv_export.h"

static_assert(CJSON_VERSION_MAJOR == 1, "the soname below follows the major version");

namespace {

constexpr const char *kCjsonSoname = "libcjson.so.1";

// libcjson is a load-time dependency of this library, so failing here means a broken
// installation; there is no safe result to hand back in place of a JSON call.
void *cjson_real(const char *name, void *self) {
    static void *const lib = dlopen(kCjsonSoname, RTLD_NOW | RTLD_LOCAL);
    void *fn = lib ? dlsym(lib, name) : nullptr;
    if (!fn || fn == self) {
        fprintf(stderr, "qxkiv: %s not found in %s: %s\n", name, kCjsonSoname,
                lib ? "no such function" : dlerror());
        abort();
    }
    return fn;
}

}  // namespace

#define KIV_CJSON_FWD(ret, name, params, args)                                                     \
    extern "C" KIV_API ret name params {                                                           \
        static const auto real =                                                                   \
            reinterpret_cast<decltype(&name)>(cjson_real(#name, reinterpret_cast<void *>(&name))); \
        return real args;                                                                          \
    }

KIV_CJSON_FWD(const char *, cJSON_Version, (void), ())
KIV_CJSON_FWD(void, cJSON_InitHooks, (cJSON_Hooks * hooks), (hooks))
KIV_CJSON_FWD(cJSON *, cJSON_Parse, (const char *value), (value))
KIV_CJSON_FWD(cJSON *, cJSON_ParseWithLength, (const char *value, size_t buffer_length),
              (value, buffer_length))
KIV_CJSON_FWD(cJSON *, cJSON_ParseWithOpts,
              (const char *value, const char **return_parse_end,
               cJSON_bool require_null_terminated),
              (value, return_parse_end, require_null_terminated))
KIV_CJSON_FWD(cJSON *, cJSON_ParseWithLengthOpts,
              (const char *value, size_t buffer_length, const char **return_parse_end,
               cJSON_bool require_null_terminated),
              (value, buffer_length, return_parse_end, require_null_terminated))
KIV_CJSON_FWD(char *, cJSON_Print, (const cJSON *item), (item))
KIV_CJSON_FWD(char *, cJSON_PrintUnformatted, (const cJSON *item), (item))
KIV_CJSON_FWD(char *, cJSON_PrintBuffered, (const cJSON *item, int prebuffer, cJSON_bool fmt),
              (item, prebuffer, fmt))
KIV_CJSON_FWD(cJSON_bool, cJSON_PrintPreallocated,
              (cJSON * item, char *buffer, const int length, const cJSON_bool format),
              (item, buffer, length, format))
KIV_CJSON_FWD(void, cJSON_Delete, (cJSON * item), (item))
KIV_CJSON_FWD(int, cJSON_GetArraySize, (const cJSON *array), (array))
KIV_CJSON_FWD(cJSON *, cJSON_GetArrayItem, (const cJSON *array, int index), (array, index))
KIV_CJSON_FWD(cJSON *, cJSON_GetObjectItem, (const cJSON *const object, const char *const string),
              (object, string))
KIV_CJSON_FWD(cJSON *, cJSON_GetObjectItemCaseSensitive,
              (const cJSON *const object, const char *const string), (object, string))
KIV_CJSON_FWD(cJSON_bool, cJSON_HasObjectItem, (const cJSON *object, const char *string),
              (object, string))
KIV_CJSON_FWD(const char *, cJSON_GetErrorPtr, (void), ())
KIV_CJSON_FWD(char *, cJSON_GetStringValue, (const cJSON *const item), (item))
KIV_CJSON_FWD(double, cJSON_GetNumberValue, (const cJSON *const item), (item))
KIV_CJSON_FWD(cJSON_bool, cJSON_IsInvalid, (const cJSON *const item), (item))
KIV_CJSON_FWD(cJSON_bool, cJSON_IsFalse, (const cJSON *const item), (item))
KIV_CJSON_FWD(cJSON_bool, cJSON_IsTrue, (const cJSON *const item), (item))
KIV_CJSON_FWD(cJSON_bool, cJSON_IsBool, (const cJSON *const item), (item))
KIV_CJSON_FWD(cJSON_bool, cJSON_IsNull, (const cJSON *const item), (item))
KIV_CJSON_FWD(cJSON_bool, cJSON_IsNumber, (const cJSON *const item), (item))
KIV_CJSON_FWD(cJSON_bool, cJSON_IsString, (const cJSON *const item), (item))
KIV_CJSON_FWD(cJSON_bool, cJSON_IsArray, (const cJSON *const item), (item))
KIV_CJSON_FWD(cJSON_bool, cJSON_IsObject, (const cJSON *const item), (item))
KIV_CJSON_FWD(cJSON_bool, cJSON_IsRaw, (const cJSON *const item), (item))
KIV_CJSON_FWD(cJSON *, cJSON_CreateNull, (void), ())
KIV_CJSON_FWD(cJSON *, cJSON_CreateTrue, (void), ())
KIV_CJSON_FWD(cJSON *, cJSON_CreateFalse, (void), ())
KIV_CJSON_FWD(cJSON *, cJSON_CreateBool, (cJSON_bool boolean), (boolean))
KIV_CJSON_FWD(cJSON *, cJSON_CreateNumber, (double num), (num))
KIV_CJSON_FWD(cJSON *, cJSON_CreateString, (const char *string), (string))
KIV_CJSON_FWD(cJSON *, cJSON_CreateRaw, (const char *raw), (raw))
KIV_CJSON_FWD(cJSON *, cJSON_CreateArray, (void), ())
KIV_CJSON_FWD(cJSON *, cJSON_CreateObject, (void), ())
KIV_CJSON_FWD(cJSON *, cJSON_CreateStringReference, (const char *string), (string))
KIV_CJSON_FWD(cJSON *, cJSON_CreateObjectReference, (const cJSON *child), (child))
KIV_CJSON_FWD(cJSON *, cJSON_CreateArrayReference, (const cJSON *child), (child))
KIV_CJSON_FWD(cJSON *, cJSON_CreateIntArray, (const int *numbers, int count), (numbers, count))
KIV_CJSON_FWD(cJSON *, cJSON_CreateFloatArray, (const float *numbers, int count), (numbers, count))
KIV_CJSON_FWD(cJSON *, cJSON_CreateDoubleArray, (const double *numbers, int count),
              (numbers, count))
KIV_CJSON_FWD(cJSON *, cJSON_CreateStringArray, (const char *const *strings, int count),
              (strings, count))
KIV_CJSON_FWD(cJSON_bool, cJSON_AddItemToArray, (cJSON * array, cJSON *item), (array, item))
KIV_CJSON_FWD(cJSON_bool, cJSON_AddItemToObject, (cJSON * object, const char *string, cJSON *item),
              (object, string, item))
KIV_CJSON_FWD(cJSON_bool, cJSON_AddItemToObjectCS,
              (cJSON * object, const char *string, cJSON *item), (object, string, item))
KIV_CJSON_FWD(cJSON_bool, cJSON_AddItemReferenceToArray, (cJSON * array, cJSON *item),
              (array, item))
KIV_CJSON_FWD(cJSON_bool, cJSON_AddItemReferenceToObject,
              (cJSON * object, const char *string, cJSON *item), (object, string, item))
KIV_CJSON_FWD(cJSON *, cJSON_DetachItemViaPointer, (cJSON * parent, cJSON *const item),
              (parent, item))
KIV_CJSON_FWD(cJSON *, cJSON_DetachItemFromArray, (cJSON * array, int which), (array, which))
KIV_CJSON_FWD(void, cJSON_DeleteItemFromArray, (cJSON * array, int which), (array, which))
KIV_CJSON_FWD(cJSON *, cJSON_DetachItemFromObject, (cJSON * object, const char *string),
              (object, string))
KIV_CJSON_FWD(cJSON *, cJSON_DetachItemFromObjectCaseSensitive,
              (cJSON * object, const char *string), (object, string))
KIV_CJSON_FWD(void, cJSON_DeleteItemFromObject, (cJSON * object, const char *string),
              (object, string))
KIV_CJSON_FWD(void, cJSON_DeleteItemFromObjectCaseSensitive, (cJSON * object, const char *string),
              (object, string))
KIV_CJSON_FWD(cJSON_bool, cJSON_InsertItemInArray, (cJSON * array, int which, cJSON *newitem),
              (array, which, newitem))
KIV_CJSON_FWD(cJSON_bool, cJSON_ReplaceItemViaPointer,
              (cJSON *const parent, cJSON *const item, cJSON *replacement),
              (parent, item, replacement))
KIV_CJSON_FWD(cJSON_bool, cJSON_ReplaceItemInArray, (cJSON * array, int which, cJSON *newitem),
              (array, which, newitem))
KIV_CJSON_FWD(cJSON_bool, cJSON_ReplaceItemInObject,
              (cJSON * object, const char *string, cJSON *newitem), (object, string, newitem))
KIV_CJSON_FWD(cJSON_bool, cJSON_ReplaceItemInObjectCaseSensitive,
              (cJSON * object, const char *string, cJSON *newitem), (object, string, newitem))
KIV_CJSON_FWD(cJSON *, cJSON_Duplicate, (const cJSON *item, cJSON_bool recurse), (item, recurse))
KIV_CJSON_FWD(cJSON_bool, cJSON_Compare,
              (const cJSON *const a, const cJSON *const b, const cJSON_bool case_sensitive),
              (a, b, case_sensitive))
KIV_CJSON_FWD(void, cJSON_Minify, (char *json), (json))
KIV_CJSON_FWD(cJSON *, cJSON_AddNullToObject, (cJSON *const object, const char *const name),
              (object, name))
KIV_CJSON_FWD(cJSON *, cJSON_AddTrueToObject, (cJSON *const object, const char *const name),
              (object, name))
KIV_CJSON_FWD(cJSON *, cJSON_AddFalseToObject, (cJSON *const object, const char *const name),
              (object, name))
KIV_CJSON_FWD(cJSON *, cJSON_AddBoolToObject,
              (cJSON *const object, const char *const name, const cJSON_bool boolean),
              (object, name, boolean))
KIV_CJSON_FWD(cJSON *, cJSON_AddNumberToObject,
              (cJSON *const object, const char *const name, const double number),
              (object, name, number))
KIV_CJSON_FWD(cJSON *, cJSON_AddStringToObject,
              (cJSON *const object, const char *const name, const char *const string),
              (object, name, string))
KIV_CJSON_FWD(cJSON *, cJSON_AddRawToObject,
              (cJSON *const object, const char *const name, const char *const raw),
              (object, name, raw))
KIV_CJSON_FWD(cJSON *, cJSON_AddObjectToObject, (cJSON *const object, const char *const name),
              (object, name))
KIV_CJSON_FWD(cJSON *, cJSON_AddArrayToObject, (cJSON *const object, const char *const name),
              (object, name))
KIV_CJSON_FWD(double, cJSON_SetNumberHelper, (cJSON * object, double number), (object, number))
KIV_CJSON_FWD(char *, cJSON_SetValuestring, (cJSON * object, const char *valuestring),
              (object, valuestring))
KIV_CJSON_FWD(void *, cJSON_malloc, (size_t size), (size))
KIV_CJSON_FWD(void, cJSON_free, (void *object), (object))
