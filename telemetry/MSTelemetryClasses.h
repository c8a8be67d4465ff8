#pragma once

namespace quorvane {

// Registers every archivable telemetry class with the keyed archiver (once per process).
void registerTelemetryClasses();

}  // namespace quorvane
