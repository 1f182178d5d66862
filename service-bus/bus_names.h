// The names the removal service's bus interfaces are made of: the
// contract's interface and the jobs interfaces beside it, their members,
// signatures and the errors their calls answer with. The interface XML
// (protocol/QuillfenRemovalServiceProtocol.xml) describes the interfaces
// for people and tools; this file is its one mirror in code, and a test
// holds what the running service registers to the XML. Nothing else spells
// these names. Constants only: safe from any thread.
#ifndef QUILLFEN_SERVICE_BUS_BUS_NAMES_H_
#define QUILLFEN_SERVICE_BUS_BUS_NAMES_H_

namespace quillfen::bus {

// The contract's interface: RemoveWithFileDict alone.
inline constexpr char kInterface[] =
    "org.quillfen.QuillfenRemovalServiceProtocol";

// RemoveWithFileDict(a{sv} request) -> a{sv} reply.
inline constexpr char kRemoveMethod[] = "RemoveWithFileDict";
inline constexpr char kRemoveInSignature[] = "a{sv}";
inline constexpr char kRemoveInName[] = "request";
inline constexpr char kRemoveOutSignature[] = "a{sv}";
inline constexpr char kRemoveOutName[] = "reply";

// A reply too large for one bus message comes as an a{sv} of this one
// entry: an "h", the descriptor of a sealed file holding the reply as JSON
// text (reply_file.h). The contract's replies never use the key.
inline constexpr char kReplyFileKey[] = "replyAsJSONFile";

// What the service adds beside the contract, on the same object.
inline constexpr char kJobsInterface[] = "org.quillfen.QuillfenRemovalJobs";

// Preview(a{sv} request) -> a{sv} reply: what the request would remove.
inline constexpr char kPreviewMethod[] = "Preview";
// Start(a{sv} request) -> o job.
inline constexpr char kStartMethod[] = "Start";
inline constexpr char kStartOutSignature[] = "o";
inline constexpr char kStartOutName[] = "job";

// StopRemoval(s token) -> u stopped.
inline constexpr char kStopMethod[] = "StopRemoval";
inline constexpr char kStopInSignature[] = "s";
inline constexpr char kStopInName[] = "token";
inline constexpr char kStopOutSignature[] = "u";
inline constexpr char kStopOutName[] = "stopped";

// RemovalProgress(s token, t walked, t removed, t failed, b finished).
inline constexpr char kProgressSignal[] = "RemovalProgress";
inline constexpr char kProgressSignature[] = "stttb";

// Version s, the service's version.
inline constexpr char kVersionProperty[] = "Version";

// One job Start began, at the service's object path, kJobsPathSegment and
// the job's number.
inline constexpr char kJobInterface[] = "org.quillfen.QuillfenRemovalJob";
inline constexpr char kJobsPathSegment[] = "/jobs/";
// Stop(): by the job's starter alone.
inline constexpr char kJobStopMethod[] = "Stop";
// Completed(a{sv} reply), to the job's starter alone.
inline constexpr char kJobCompletedSignal[] = "Completed";
inline constexpr char kJobCompletedName[] = "reply";
// Its properties: t, t, t, b and a{sv}.
inline constexpr char kJobWalkedProperty[] = "Walked";
inline constexpr char kJobRemovedProperty[] = "Removed";
inline constexpr char kJobFailedProperty[] = "Failed";
inline constexpr char kJobFinishedProperty[] = "Finished";
inline constexpr char kJobReplyProperty[] = "Reply";

// The errors a call may be answered with. The service answers with the
// first three; the bus with the others when the service can't be reached.
inline constexpr char kErrorFailed[] = "org.freedesktop.DBus.Error.Failed";
inline constexpr char kErrorInvalidArgs[] =
    "org.freedesktop.DBus.Error.InvalidArgs";
inline constexpr char kErrorAccessDenied[] =
    "org.freedesktop.DBus.Error.AccessDenied";
inline constexpr char kErrorServiceUnknown[] =
    "org.freedesktop.DBus.Error.ServiceUnknown";
inline constexpr char kErrorSpawnPrefix[] = "org.freedesktop.DBus.Error.Spawn.";
// The bus daemon's answer to the service, when it refuses to forward a
// message carrying descriptors to a recipient that takes none.
inline constexpr char kErrorNotSupported[] =
    "org.freedesktop.DBus.Error.NotSupported";

}  // namespace quillfen::bus

#endif  // QUILLFEN_SERVICE_BUS_BUS_NAMES_H_
