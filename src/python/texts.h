// The fixed texts the module keeps for its callers: the names its messages show for types and
// modules, and the few messages that are always the same words.
//
// Callers match on these: their tests compare the messages, their handlers name the exception's
// type and module, their logs are searched for them. They are this module's established texts
// and never change, so each is written once, here, and every message that shows one takes it
// from this table.
#pragma once

namespace korvane_python::texts {

// The class's qualified name, as type(store) shows it.
inline constexpr const char* kClassName = "builtins.Korvane";

// The type of the internal-fault exception (errors.h), with its module.
inline constexpr const char* kPanicTypeName = "pyo3_runtime.PanicException";
// The fault without a message of its own, and the last words when no exception can be raised.
inline constexpr const char* kFaultWithoutMessage =
    "korvane hit an internal fault that carried no message";
inline constexpr const char* kFatalPanic = "uncaught panic at ffi boundary";

// A second initialisation of the module in one process.
inline constexpr const char* kInitialisedTwice =
    "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per "
    "interpreter process";

// The targets named by "'{type}' object cannot be converted to '{target}'".
inline constexpr const char* kTextTarget = "PyString";
inline constexpr const char* kSequenceTarget = "Sequence";
// A str given where a vector is wanted.
inline constexpr const char* kTextIsNoVector = "Can't extract `str` to `Vec`";
// Stand-ins for a type's name and an exception's text that cannot be read.
inline constexpr const char* kUnknownTypeName = "<failed to extract type name>";
inline constexpr const char* kUnprintable = "<unprintable object>";

// The re-entrance rule (instance.h): a shared borrow refused while an exclusive one is held,
// and an exclusive borrow refused while any is held.
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";

}  // namespace korvane_python::texts
