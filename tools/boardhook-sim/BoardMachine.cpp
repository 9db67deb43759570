#include "BoardMachine.h"

namespace bootsim {

namespace {

sim::PciAddress Address(const PciLocation &location) {
  return {location.bus, location.device, location.function};
}

sim::UartReadiness Readiness(const UartReadinessDescription &readiness) {
  switch (readiness.mode) {
    case UartReadinessDescription::Mode::AtOnce:
      return sim::UartReadiness::AtOnce();
    case UartReadinessDescription::Mode::AfterReads:
      return sim::UartReadiness::AfterReads(readiness.reads);
    case UartReadinessDescription::Mode::Never:
      return sim::UartReadiness::Never();
  }
  return sim::UartReadiness::AtOnce();
}

}  // namespace

void DescribeProcessor(sim::Machine &machine, const CpuDescription &cpu) {
  using Register = sim::HardwarePlatform::Register;
  for (const MsrValue &msr : cpu.msrs) machine.SetMsr(msr.index, msr.value);
  if (cpu.dr2) machine.SetRegister(Register::Dr2, *cpu.dr2);
  if (cpu.dr3) machine.SetRegister(Register::Dr3, *cpu.dr3);
  if (cpu.dr7) machine.SetRegister(Register::Dr7, *cpu.dr7);
  if (cpu.cr4) machine.SetRegister(Register::Cr4, *cpu.cr4);
  machine.SetCpuidBackDoorAnswer(cpu.backDoorAnswer);
  if (cpu.tscHz) machine.Timing().tscHz = *cpu.tscHz;
}

void DescribeBoardHardware(sim::Machine &machine, const Board &board) {
  DescribeProcessor(machine, board.cpu);
  const HostBridgeDescription &host = board.hostBridge;
  machine.HostBridge()
      .SetIdWord(host.id)
      .SetClass(host.baseClass, host.subClass, host.progIf)
      .SetRevision(host.revision);
  for (const BusGroup &group : host.busGroups) {
    machine.HostBridge().SetIndirect(BusRangeIndex(group.group), group.value);
  }
  machine.SetUnclaimedReadByte(host.unclaimedRead);
  for (const RootPortDescription &port : board.rootPorts) {
    machine.AddPciBridge(Address(port.bridge.address), port.bridge.id, port.bridge.secondaryBus,
                         port.bridge.subordinateBus);
  }
  for (const BridgeDescription &bridge : board.bridges) {
    machine.AddPciBridge(Address(bridge.address), bridge.id, bridge.secondaryBus,
                         bridge.subordinateBus);
  }
  for (const DeviceDescription &device : board.devices) {
    sim::PciFunction &function = machine.AddPciFunction(Address(device.address), device.id);
    function.SetClass(device.baseClass, device.subClass, device.progIf)
        .SetRevision(device.revision)
        .SetSubsystemWord(device.subsystem)
        .SetCommand(device.command);
    if (device.romBase) function.SetRomBase(*device.romBase);
    for (const Bar &bar : device.bars) {
      if (bar.is64) {
        function.SetBar64(bar.index, bar.base, bar.size, bar.prefetchable);
      } else {
        function.SetBar32(bar.index, static_cast<uint32_t>(bar.base),
                          static_cast<uint32_t>(bar.size), bar.prefetchable);
      }
    }
    // The capabilities in list order, each at the offset the reader placed
    // it, the VPD capability at its position.
    const size_t vpdAt = device.vpd ? device.vpd->position : SIZE_MAX;
    for (size_t index = 0; index <= device.capabilities.size(); index++) {
      if (index == vpdAt) {
        sim::VpdCapability &vpd =
            function.AddVpdCapability(device.vpd->image, device.vpd->offset)
                .SetCompletionReads(device.vpd->neverCompletes ? sim::VpdCapability::kNever
                                                               : device.vpd->completionReads);
        if (device.vpd->stopsCompletingAt) vpd.SetStopsCompletingAt(*device.vpd->stopsCompletingAt);
      }
      if (index < device.capabilities.size()) {
        function.AddCapability(device.capabilities[index].id, {},
                               device.capabilities[index].offset);
      }
    }
    if (device.mac) sim::PlaceMacAddress(function, device.mac->location, device.mac->address);
    for (const ByteBlock &block : device.configBytes) {
      function.SetConfigBytes(static_cast<uint16_t>(block.offset), block.bytes);
    }
    for (const BarBytes &bytes : device.barBytes) {
      function.Registers(bytes.bar).SetBytes(bytes.block.offset, bytes.block.bytes);
    }
  }
  machine.Uart().SetTransmitReady(Readiness(board.uart.transmitReady));
  machine.Uart().SetTransmitterEmpty(Readiness(board.uart.transmitterEmpty));
}

}  // namespace bootsim
