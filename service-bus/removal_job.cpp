#include "service-bus/removal_job.h"

#include <vector>

#include "protocol/bus_string.h"
#include "protocol/removal_reply.h"
#include "service-bus/bus_names.h"
#include "service-bus/dbus_value.h"
#include "service-bus/sd_bus_access.h"

namespace quillfen {

RemovalJob::RemovalJob(std::string path, std::string starter, std::string token)
    : path_(std::move(path)), starter_(std::move(starter)) {
  removal_.token = std::move(token);
}

void RemovalJob::Export(sdbus::IConnection& bus, sd_bus* raw_bus) {
  raw_bus_ = raw_bus;
  std::unique_ptr<sdbus::IObject> object = sdbus::createObject(bus, path_);
  object->registerMethod(
      bus::kJobInterface, bus::kJobStopMethod, "", {}, "", {},
      [this](sdbus::MethodCall call) { OnStop(std::move(call)); });
  object->registerSignal(bus::kJobInterface, bus::kJobCompletedSignal,
                         bus::kRemoveOutSignature, {bus::kJobCompletedName});
  using Counts = RemovalProgress::Counts;
  auto count_property = [&](const char* name, std::uint64_t Counts::*count) {
    object->registerProperty(bus::kJobInterface, name, "t",
                             [this, count](sdbus::PropertyGetReply& reply) {
                               reply << removal_.progress.counts().*count;
                             });
  };
  count_property(bus::kJobWalkedProperty, &Counts::walked);
  count_property(bus::kJobRemovedProperty, &Counts::removed);
  count_property(bus::kJobFailedProperty, &Counts::failed);
  object->registerProperty(
      bus::kJobInterface, bus::kJobFinishedProperty, "b",
      [this](sdbus::PropertyGetReply& reply) { reply << finished(); });
  // Only invalidated when it changes: the reply may be long, and only the
  // starter may read it.
  sdbus::Flags invalidates;
  invalidates.set(sdbus::Flags::EMITS_INVALIDATION_SIGNAL);
  object->registerProperty(
      bus::kJobInterface, bus::kJobReplyProperty, bus::kRemoveOutSignature,
      [this](sdbus::PropertyGetReply& reply) { GetReply(reply); }, invalidates);
  object->finishRegistration();
  object_ = std::move(object);
}

void RemovalJob::CarryOut(QuillfenRemovalServiceProtocol& object,
                          const RemovalRequest& request) {
  std::optional<RemovalReply> reply;
  try {
    object.removeReportingProgress(
        request,
        [&](RemovalReply given) {
          if (!reply) reply = std::move(given);
        },
        removal_.progress);
  } catch (const std::exception& e) {
    if (!reply) reply = RefusedRequestReply(request, BusSafeText(e.what()));
  }
  if (!reply) {
    reply = RefusedRequestReply(request, "The removal service gave no reply.");
  }
  Finish(request, std::move(*reply));
}

void RemovalJob::Finish(const RemovalRequest& request, RemovalReply reply) {
  Result<BusReply> form = BusReplyFrom(std::move(reply));
  if (!form) {
    // What a caller of the one method would hear as an error, a job's
    // starter reads in the reply's own form.
    form = BusReplyFrom(
        RefusedRequestReply(request, BusSafeText(form.error().message + ".")));
  }
  auto kept = std::make_shared<const BusReply>(
      form ? std::move(*form) : BusReply{EmptyRemovalReply(), {}});
  MutexLock lock(mutex_);
  reply_ = std::move(kept);
}

bool RemovalJob::finished() {
  MutexLock lock(mutex_);
  return reply_ != nullptr;
}

void RemovalJob::Report(Clock::time_point now) {
  if (!object_ || announced_at_) return;
  const bool done = finished();
  const RemovalProgress::Counts counts = removal_.progress.counts();
  std::vector<std::string> changed;
  if (done || now - sent_at_ >= RunningRemovals::kProgressInterval) {
    if (counts.walked != sent_.walked)
      changed.push_back(bus::kJobWalkedProperty);
    if (counts.removed != sent_.removed) {
      changed.push_back(bus::kJobRemovedProperty);
    }
    if (counts.failed != sent_.failed)
      changed.push_back(bus::kJobFailedProperty);
  }
  if (done) {
    changed.push_back(bus::kJobFinishedProperty);
    changed.push_back(bus::kJobReplyProperty);
  }
  if (!changed.empty()) {
    try {
      object_->emitPropertiesChangedSignal(bus::kJobInterface, changed);
    } catch (const sdbus::Error&) {
      // Nobody's loss: the properties still read right.
    }
    sent_ = counts;
    sent_at_ = now;
  }
  if (done) {
    SendCompleted();
    announced_at_ = now;
  }
}

void RemovalJob::SendCompleted() {
  std::shared_ptr<const BusReply> reply;
  {
    MutexLock lock(mutex_);
    reply = reply_;
  }
  try {
    sdbus::Signal signal =
        object_->createSignal(bus::kJobInterface, bus::kJobCompletedSignal);
    signal.setDestination(starter_);
    AppendBusReply(*reply, signal);
    object_->emitSignal(signal);
  } catch (const sdbus::Error&) {
    // The starter can still read Reply.
  }
}

void RemovalJob::OnStop(sdbus::MethodCall call) {
  try {
    if (call.getSender() != starter_) {
      ReturnError(call, bus::kErrorAccessDenied,
                  "Only the caller that started this job may stop it.");
      return;
    }
    removal_.progress.RequestStop();
    call.createReply().send();
  } catch (const sdbus::Error& e) {
    ReturnError(call, bus::kErrorFailed, BusSafeText(e.getMessage()));
  }
}

void RemovalJob::GetReply(sdbus::PropertyGetReply& reply) {
  std::shared_ptr<const BusReply> kept;
  if (CurrentSender(raw_bus_) == starter_) {
    MutexLock lock(mutex_);
    kept = reply_;
  }
  if (kept) {
    AppendBusReply(*kept, reply);
  } else {
    reply << DbusDictionary{};
  }
}

}  // namespace quillfen
