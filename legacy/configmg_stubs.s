# The configuration manager's services on the target. A Windows 9x driver
# reaches a virtual device's service with the dynamic-link interrupt: INT 20h
# followed by a doubleword, the device identifier in the high word and the
# service number in the low one; the system patches the pair into an
# indirect jump (bit 15 of the service number asks for a jump, not a call)
# the first time it runs. So each stub is entered with the caller's return
# address and __cdecl arguments on the stack, exactly as the service wants
# them, and the service returns to the caller directly.
#
# The numbers are those of the Windows 9x device driver kit's documentation:
# the configuration manager's device identifier is 0033h (CONFIGMG_DEVICE_ID),
# the jump flag 8000h (DL_Jmp_Mask), the dynamic-link interrupt 20h, and the
# service numbers are the entries of the CONFIGMG service table:
# _CONFIGMG_Locate_DevNode 02h, _CONFIGMG_Create_DevNode 0Bh,
# _CONFIGMG_Remove_SubTree 0Dh, _CONFIGMG_Register_Enumerator 0Fh,
# _CONFIGMG_Add_Empty_Log_Conf 18h, _CONFIGMG_Add_Res_Des 1Ch,
# _CONFIGMG_Read_Registry_Value 3Eh. The host binds the same names to the
# emulated configuration manager instead (this file is built for the target
# only).

    .set DYNA_LINK_INT, 0x20
    .set DL_JMP_MASK, 0x8000
    .set CONFIGMG_DEVICE_ID, 0x0033

    .macro configmg_service name, number
    .globl _\name
    .p2align 2
_\name:
    int $DYNA_LINK_INT
    .long (CONFIGMG_DEVICE_ID << 16) | DL_JMP_MASK | \number
    .endm

    .text
    configmg_service CONFIGMG_Locate_DevNode, 0x02
    configmg_service CONFIGMG_Create_DevNode, 0x0B
    configmg_service CONFIGMG_Remove_SubTree, 0x0D
    configmg_service CONFIGMG_Register_Enumerator, 0x0F
    configmg_service CONFIGMG_Add_Empty_Log_Conf, 0x18
    configmg_service CONFIGMG_Add_Res_Des, 0x1C
    configmg_service CONFIGMG_Read_Registry_Value, 0x3E
