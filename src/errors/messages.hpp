#pragma once

// The module's fixed texts: the messages it raises (other than those the YAML
// layer builds from the document, and the interpreter's own), in one place.
// docs/errors.md lists each one and tests/test_docs.py triggers it.
//
// Character arrays, so that they serve both as text and as the C strings the
// interpreter's functions take.
namespace corvane::messages {

// ---- manifest operations (Exception) ------------------------------------------

inline constexpr char kNoSection[] = "No corvane key found in manifest";
// "No reader with id " + the identifier + " found in manifest.yaml"
inline constexpr char kNoReaderBefore[] = "No reader with id ";
inline constexpr char kNoReaderAfter[] = " found in manifest.yaml";
// A write the system accepted with zero bytes.
inline constexpr char kShortWrite[] = "failed to write whole buffer";
// add given a named pipe, a device or a socket (FileWrite): it is never
// replaced by a regular file.
inline constexpr char kNotRegularFile[] = "not a regular file";
// add on a manifest file that no name points to any more (FileWrite): a
// rename replaced it outside the mount that shows it (a bind mount of the
// file itself), so whatever is written into it is lost.
inline constexpr char kReplacedOutsideMount[] =
    "the manifest file was replaced outside this mount (mount its directory, not the file)";
// add continuing in a child that a signal handler forked during the call
// (FileWrite): the descriptors it held are the parent's, closed in the child.
inline constexpr char kForkedDuringCall[] = "the process forked during the call";
// A new manifest too large to be read back (Serialization).
inline constexpr char kDocumentTooLarge[] = "document too large";
// An edit that keeps the manifest's layout refused (Serialization): this,
// then why.
inline constexpr char kLayoutNotKept[] = "cannot keep the layout: ";

// ---- validation findings --------------------------------------------------------

inline constexpr char kTensorParallelOnCpu[] = "tensor_parallel is not supported on cpu";
inline constexpr char kUnknownDevice[] =
    "device must be either 'cpu' or 'cuda' for local models, or 'api' for api-based models";
inline constexpr char kTooFewDevices[] = "If providing cuda_visible_devices, tensor_parallel "
                                         "cannot be larger than the number of devices provided";
inline constexpr char kTensorParallelOdd[] = "tensor_parallel must be 1 or even, if specified.";
inline constexpr char kTensorParallelZero[] = "tensor_parallel must be at least 1, if specified.";
inline constexpr char kDevicesNotNumbers[] =
    "cuda_visible_devices must be a comma separated string of integers like '0,1'";

// ---- the Python side (TypeError and OverflowError) -------------------------------

inline constexpr char kNoConstructor[] = "No constructor defined";
inline constexpr char kEmptyModelName[] = "model_name cannot be empty";
inline constexpr char kConstructorDevice[] = "device must be either 'cpu' or 'cuda'";
inline constexpr char kOutOfRange[] = "out of range integral type conversion attempted";
// A malformed pickling state: "... must be a tuple, not '" + type name + "'",
// "... must hold " + 20 + " settings, not " + count, and
// "..., setting '" + name + "': " + the setting's conversion error.
inline constexpr char kStateNotTuple[] = "ReaderConfig state must be a tuple, not '";
inline constexpr char kStateLength[] = "ReaderConfig state must hold %zd settings, not %zd";
inline constexpr char kStateSetting[] = "ReaderConfig state, setting '%.*s': %S";
// "'" + type name + "' object cannot be converted to '" + target + "'"
inline constexpr char kCannotConvert[] = " object cannot be converted to ";
inline constexpr char kTextTarget[] = "PyString";
inline constexpr char kBoolTarget[] = "PyBool";
inline constexpr char kReaderTarget[] = "ReaderConfig";
// Stands for a type name the interpreter could not give.
inline constexpr char kUnknownTypeName[] = "<failed to extract type name>";
// function + " " + one of these + " '" + keyword + "'"
inline constexpr char kUnexpectedKeyword[] = "got an unexpected keyword argument";
inline constexpr char kRepeatedArgument[] = "got multiple values for argument";

// ---- module import and internal faults ---------------------------------------------

inline constexpr char kSubInterpreter[] =
    "corvane_config does not support sub-interpreters: it is already loaded in another "
    "interpreter of this process";
inline constexpr char kNoInterpreterError[] = "attempted to fetch exception but none was set";
inline constexpr char kApiCallFailed[] = "Python API call failed";
inline constexpr char kPanicWithoutMessage[] = "native code panicked without a message";
inline constexpr char kUncaughtPanic[] = "uncaught panic at ffi boundary\n";
inline constexpr char kInterruptedWithoutError[] = "a wait was interrupted without an exception";

} // namespace corvane::messages
