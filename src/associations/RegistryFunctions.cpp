#include "associations/RegistryFunctions.h"

#include "platform/Errors.h"
#include "platform/RegistryValues.h"
#include "shell/StringFunctions.h"

namespace oxlume {

namespace {

// A class name is read into a buffer of this size: 200 bytes and the terminating zero.
constexpr std::size_t kClassBufferSize = 201;

std::string normalisedExtension(std::string extension)
{
    OX_ASSERT(!extension.empty(), "RegistryFunctions");
    if (extension.front() != '.')
        extension.insert(extension.begin(), '.');
    return extension;
}

// Points the open extension key at className and makes sure the class key exists.
LONG takeOver(HKEY extKey, const std::string &className)
{
    if (const LONG rc = SetStringValue(extKey, "", className); rc != ERROR_SUCCESS)
        return rc;
    ScopedRegKey classKey;
    return RegCreateKeyEx(HKEY_CLASSES_ROOT, className, classKey.receive());
}

// Opens a key below HKEY_CLASSES_ROOT and deletes it when empty; the result is the code of
// the open.
LONG deleteIfEmptyAt(const std::string &path, bool deleteDefaultFirst)
{
    ScopedRegKey key;
    const LONG rc = RegOpenKeyEx(HKEY_CLASSES_ROOT, path, key.receive());
    if (rc == ERROR_SUCCESS)
        DeleteKeyIfEmpty(key, deleteDefaultFirst);
    return rc;
}

template<typename PerExtension>
LONG forEachMask(std::string masks, PerExtension perExtension)
{
    LONG result = ERROR_SUCCESS;
    masks += ';';
    std::size_t semicolon;
    while ((semicolon = masks.find(';')) != std::string::npos) {
        const std::string mask = masks.substr(0, semicolon);
        masks.erase(0, semicolon + 1);
        const std::string extension = RemoveAll(RemoveAll(mask, "*"), "?");
        if (const LONG rc = perExtension(extension); rc != ERROR_SUCCESS)
            result = rc;
    }
    return result;
}

} // namespace

LONG AddVerb(std::string extension, const std::string &className, const std::string &verb,
             const std::string &command)
{
    extension = normalisedExtension(std::move(extension));
    std::string owner;
    {
        ScopedRegKey extKey;
        DWORD disposition = 0;
        if (const LONG rc =
                RegCreateKeyEx(HKEY_CLASSES_ROOT, extension, extKey.receive(), &disposition);
            rc != ERROR_SUCCESS)
            return rc;
        if (disposition == REG_CREATED_NEW_KEY) {
            if (const LONG rc = takeOver(extKey, className); rc != ERROR_SUCCESS)
                return rc;
            owner = className;
        } else {
            OX_ASSERT(disposition == REG_OPENED_EXISTING_KEY, "RegistryFunctions");
            std::string current;
            const LONG rc = QueryStringValue(extKey, "", kClassBufferSize, current);
            if ((rc == ERROR_SUCCESS && current.empty()) || rc == ERROR_FILE_NOT_FOUND) {
                if (const LONG takeRc = takeOver(extKey, className); takeRc != ERROR_SUCCESS)
                    return takeRc;
                owner = className;
            } else if (rc != ERROR_SUCCESS) {
                return rc; // e.g. a class name longer than 200 bytes: leave it alone
            } else {
                owner = current;
            }
        }
    }
    ScopedRegKey commandKey;
    if (const LONG rc = RegCreateKeyEx(HKEY_CLASSES_ROOT, owner + "\\shell\\" + verb + "\\command",
                                       commandKey.receive());
        rc != ERROR_SUCCESS)
        return rc;
    return SetStringValue(commandKey, "", command);
}

LONG RemoveVerb(std::string extension, const std::string &className, const std::string &verb)
{
    extension = normalisedExtension(std::move(extension));
    std::string owner;
    {
        ScopedRegKey extKey;
        if (const LONG rc = RegOpenKeyEx(HKEY_CLASSES_ROOT, extension, extKey.receive());
            rc != ERROR_SUCCESS)
            return rc;
        std::string current;
        const LONG rc = QueryStringValue(extKey, "", kClassBufferSize, current);
        if (rc == ERROR_SUCCESS && !current.empty())
            owner = current;
        else if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND)
            owner = className;
        else
            return rc;
        if (owner == className)
            DeleteKeyIfEmpty(extKey, true);
    }
    const std::string verbPath = owner + "\\shell\\" + verb;
    LONG result = deleteIfEmptyAt(verbPath + "\\command", true);
    result = deleteIfEmptyAt(verbPath, true);
    if (owner == className) {
        result = deleteIfEmptyAt(owner + "\\shell", false);
        result = deleteIfEmptyAt(owner, false);
    }
    return result;
}

LONG AddVerbForMasks(const std::string &masks, const std::string &className,
                     const std::string &verb, const std::string &command)
{
    return forEachMask(masks, [&](const std::string &extension) {
        return AddVerb(extension, className, verb, command);
    });
}

LONG RemoveVerbForMasks(const std::string &masks, const std::string &className,
                        const std::string &verb)
{
    return forEachMask(masks, [&](const std::string &extension) {
        return RemoveVerb(extension, className, verb);
    });
}

LONG DeleteKeyIfEmpty(HKEY key, bool deleteDefaultFirst)
{
    if (!KeyIsEmpty(key))
        return ERROR_SUCCESS;
    if (deleteDefaultFirst)
        RegDeleteValue(key, "");
    return RegDeleteKey(key, "");
}

bool KeyIsEmpty(HKEY key)
{
    DWORD subKeys = 0;
    DWORD values = 0;
    if (RegQueryInfoKey(key, &subKeys, nullptr, &values, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    if (subKeys == 0 && values == 0)
        return true;
    if (subKeys != 0 || values != 1)
        return false;
    char name[65];
    DWORD nameSize = sizeof name;
    return RegEnumValue(key, 0, name, &nameSize, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
           nameSize == 0;
}

} // namespace oxlume
