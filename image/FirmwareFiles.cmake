# What the flash image knows of each module besides its code: the file GUID
# that names it in every flash image (never changes), its version, and the
# dependency expression the dispatcher evaluates before it runs the module
# (tools/fwimage/Depex.h). Read by image/ and by the tests of the files.
#
# What each module needs before its entry can run:
# - BoardHookPei: its entry writes token 501 through PCD_PPI and reads the
#   "Setup" variable through the read-only variable PPI. The SMBus and I2C
#   PPIs its callbacks need are awaited by notification, not by dependency.
# - BoardHookDxe: its start-up reads and sets token 584 through
#   PCD_PROTOCOL (the S3 save library), whose callers use it without a test.
#   The boot services it uses are there from the start; the ready-to-lock
#   protocol is awaited by notification, the SMM communication protocol is
#   needed only at ReadyToBoot.
set(BOARDHOOK_PEI_FILE_GUID C412C7F1-BD6B-4751-AC1C-77A5E82B0253)
set(BOARDHOOK_DXE_FILE_GUID 7D8CF76E-AEDC-412A-9A2D-D1D030AC2801)
set(BOARDHOOK_PEI_DEPEX "gPcdPpiGuid AND gEfiPeiReadOnlyVariable2PpiGuid")
set(BOARDHOOK_DXE_DEPEX "gPcdProtocolGuid")
set(BOARDHOOK_FIRMWARE_VERSION 1.0)
set(BOARDHOOK_FIRMWARE_BUILD_NUMBER 1)
