#pragma once
// Adding and removing one shell verb for file extensions below HKEY_CLASSES_ROOT, and
// deleting keys that have become empty. Results are Win32 error numbers.

#include "platform/Registry.h"

#include <string>

namespace oxlume {

// Adds CLASS\shell\VERB\command = command for every mask of a ';'-separated list
// ("*.jpg;*.jpeg"), taking the extension over for className when it names no class yet,
// otherwise adding the verb to the class it names. Every mask is processed; the result is
// the last non-zero code met, or 0.
LONG AddVerbForMasks(const std::string &masks, const std::string &className,
                     const std::string &verb, const std::string &command);

// Removes what AddVerbForMasks added, keeping every key that holds anything else.
LONG RemoveVerbForMasks(const std::string &masks, const std::string &className,
                        const std::string &verb);

// One extension (a leading '.' is added when missing). An empty extension raises
// "Assertion failure (RegistryFunctions, line N)". The result is the code of the step
// that failed, or 0.
LONG AddVerb(std::string extension, const std::string &className, const std::string &verb,
             const std::string &command);

// One extension; the result is the code of the last key it tried to open (0 when that key
// opened), or the code that stopped it. Same assertion as AddVerb.
LONG RemoveVerb(std::string extension, const std::string &className, const std::string &verb);

// Deletes the open key when it holds nothing but, at most, its default value; with
// deleteDefaultFirst the default value goes first. The code of the deletion, or 0 when
// the key was not empty.
LONG DeleteKeyIfEmpty(HKEY key, bool deleteDefaultFirst);

// True when the key has no sub-keys and no value except, at most, its default value.
bool KeyIsEmpty(HKEY key);

} // namespace oxlume
