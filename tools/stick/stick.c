// A flash disk with a partition table, for the real program under Wine: a
// kernel driver that Wine's driver host loads, presenting a removable disk
// backed by a file (\\.\PhysicalDrive5) and the partition that begins where
// its partition table says as drive S:. It answers what the program asks
// and what Windows' own disk drivers answer, reads its layout from the
// file's table at each query, and writes one line to its log for each
// request, in order. What the test or the demo wants otherwise comes from
// its service's Parameters key, the switches read anew at each open:
//   Backing, Log  the backing file and the log (NT paths, \??\unix\...)
//   Fixed         1: the geometry says fixed media, not removable
//   Extra         1: the layout shows a second partition after the first
//   Answers       the number the disk answers with (5 by default)
//   FailWrite, FailRead  1: every write, or every read, fails
#include <ntddk.h>
#include <ntdddisk.h>
#include <ntddstor.h>
#include <ntddvol.h>

// What the driver headers leave out, and the kernel exports all the same.
NTSYSAPI NTSTATUS NTAPI ZwFlushBuffersFile(HANDLE file, PIO_STATUS_BLOCK status);
int __cdecl _snprintf(char *buffer, size_t count, const char *format, ...);
int __cdecl _snwprintf(WCHAR *buffer, size_t count, const WCHAR *format, ...);
#define FSCTL_DISMOUNT_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 8, METHOD_BUFFERED, FILE_ANY_ACCESS)

enum { NUMBER = 5, SECTOR = 512, TRACKS = 255, SECTORS = 63 };

static HANDLE backing, logFile;
static ULONG fixed, extra, answers, failWrite, failRead;
static UNICODE_STRING backingName, logName;
static WCHAR parameters[256]; // the Parameters key's path
static LONGLONG diskSize;
static PDEVICE_OBJECT disk, volume;

// Appends one line to the log: which device, what, and two numbers.
static void note(PDEVICE_OBJECT device, const char *what, LONGLONG a, ULONG b)
{
    char line[96];
    IO_STATUS_BLOCK io;
    LARGE_INTEGER end = {{FILE_WRITE_TO_END_OF_FILE, -1}};
    int length = _snprintf(line, sizeof line, "%s %s %I64d %lu\n",
                           device == disk ? "disk" : "volume", what, a, b);
    if (logFile && length > 0)
        ZwWriteFile(logFile, NULL, NULL, NULL, &io, line, length, &end, NULL);
}

static NTSTATUS transfer(BOOLEAN write, void *buffer, ULONG length, LONGLONG at)
{
    IO_STATUS_BLOCK io;
    LARGE_INTEGER offset;
    offset.QuadPart = at;
    if (write)
        return ZwWriteFile(backing, NULL, NULL, NULL, &io, buffer, length, &offset, NULL);
    return ZwReadFile(backing, NULL, NULL, NULL, &io, buffer, length, &offset, NULL);
}

// The partitions of the file's MBR: those whose entry is in use and lies
// within the disk. Returns how many there are.
static ULONG partitions(PARTITION_INFORMATION_EX *entries)
{
    UCHAR mbr[SECTOR];
    ULONG count = 0;
    if (!NT_SUCCESS(transfer(FALSE, mbr, SECTOR, 0)) || mbr[510] != 0x55 || mbr[511] != 0xAA)
        return 0;
    for (int i = 0; i < 4; i++) {
        const UCHAR *entry = mbr + 446 + 16 * i;
        LONGLONG start = (LONGLONG) * (const ULONG *)(entry + 8) * SECTOR;
        LONGLONG size = (LONGLONG) * (const ULONG *)(entry + 12) * SECTOR;
        if ((entry[0] & 0x7F) || !entry[4] || !size || start + size > diskSize)
            continue;
        RtlZeroMemory(&entries[count], sizeof entries[count]);
        entries[count].StartingOffset.QuadPart = start;
        entries[count].PartitionLength.QuadPart = size;
        entries[count].PartitionNumber = count + 1;
        entries[count].Mbr.PartitionType = entry[4];
        entries[count].Mbr.BootIndicator = entry[0] == 0x80;
        count++;
    }
    if (extra && count == 1) {
        entries[1] = entries[0];
        entries[1].StartingOffset.QuadPart += entries[0].PartitionLength.QuadPart / 2;
        entries[1].PartitionLength.QuadPart /= 4;
        entries[1].PartitionNumber = ++count;
    }
    return count;
}

static NTSTATUS control(PDEVICE_OBJECT device, PIO_STACK_LOCATION stack, void *out, ULONG_PTR *size)
{
    ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PARTITION_INFORMATION_EX entries[4];
    ULONG count = partitions(entries);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_DISK_GET_DRIVE_GEOMETRY: {
        DISK_GEOMETRY *geometry = out;
        note(device, "geometry", 0, 0);
        if (room < (*size = sizeof *geometry))
            return STATUS_BUFFER_TOO_SMALL;
        geometry->Cylinders.QuadPart = diskSize / (TRACKS * SECTORS * SECTOR);
        geometry->MediaType = fixed ? FixedMedia : RemovableMedia;
        geometry->TracksPerCylinder = TRACKS;
        geometry->SectorsPerTrack = SECTORS;
        geometry->BytesPerSector = SECTOR;
        return STATUS_SUCCESS;
    }
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
        STORAGE_DEVICE_NUMBER *number = out;
        note(device, "number", 0, 0);
        if (room < (*size = sizeof *number))
            return STATUS_BUFFER_TOO_SMALL;
        number->DeviceType = FILE_DEVICE_DISK;
        number->DeviceNumber = answers;
        number->PartitionNumber = device == volume;
        return STATUS_SUCCESS;
    }
    case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: {
        VOLUME_DISK_EXTENTS *extents = out;
        note(device, "extents", 0, 0);
        if (device != volume || !count)
            return STATUS_INVALID_DEVICE_REQUEST;
        if (room < (*size = sizeof *extents))
            return STATUS_BUFFER_TOO_SMALL;
        extents->NumberOfDiskExtents = 1;
        extents->Extents[0].DiskNumber = NUMBER;
        extents->Extents[0].StartingOffset = entries[0].StartingOffset;
        extents->Extents[0].ExtentLength = entries[0].PartitionLength;
        return STATUS_SUCCESS;
    }
    case IOCTL_DISK_GET_DRIVE_LAYOUT_EX: {
        DRIVE_LAYOUT_INFORMATION_EX *layout = out;
        note(device, "layout", count, room);
        // Windows lists the four entries of an MBR, used or not.
        *size = FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry[4]);
        if (device != disk)
            return STATUS_INVALID_DEVICE_REQUEST;
        if (room < *size)
            return STATUS_BUFFER_TOO_SMALL;
        RtlZeroMemory(layout, *size);
        layout->PartitionStyle = PARTITION_STYLE_MBR;
        layout->PartitionCount = 4;
        RtlCopyMemory(layout->PartitionEntry, entries, count * sizeof *entries);
        return STATUS_SUCCESS;
    }
    case IOCTL_DISK_UPDATE_PROPERTIES:
        note(device, "new-layout", count, 0);
        return STATUS_SUCCESS;
    case FSCTL_DISMOUNT_VOLUME:
        note(device, "dismount", 0, 0);
        return STATUS_SUCCESS;
    }
    note(device, "unknown", stack->Parameters.DeviceIoControl.IoControlCode, 0);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// One value at a time: a value that is not set is 0, or for Answers the
// disk's own number.
static void readParameters(void)
{
    const struct {
        const WCHAR *name;
        void *where;
    } values[] = {{L"Backing", &backingName}, {L"Log", &logName},     {L"Fixed", &fixed},
                  {L"Extra", &extra},         {L"Answers", &answers}, {L"FailWrite", &failWrite},
                  {L"FailRead", &failRead}};
    fixed = extra = failWrite = failRead = 0;
    answers = NUMBER;
    for (unsigned i = 0; i < sizeof values / sizeof *values; i++) {
        RTL_QUERY_REGISTRY_TABLE table[2] = {{NULL, RTL_QUERY_REGISTRY_DIRECT,
                                              (WCHAR *)values[i].name, values[i].where, REG_NONE,
                                              NULL, 0}};
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, parameters, table, NULL, NULL);
    }
}

static NTSTATUS WINAPI dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR size = 0;
    NTSTATUS status = STATUS_SUCCESS;
    LONGLONG at = stack->Parameters.Read.ByteOffset.QuadPart;
    ULONG length = stack->Parameters.Read.Length;
    PARTITION_INFORMATION_EX entries[4];

    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        readParameters();
        break;
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        break;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
        BOOLEAN write = stack->MajorFunction == IRP_MJ_WRITE;
        note(device, write ? "write" : "read", at, length);
        // A volume's offsets are its partition's.
        if (device == volume)
            at += partitions(entries) ? entries[0].StartingOffset.QuadPart : diskSize;
        status = (write ? failWrite : failRead)     ? STATUS_DEVICE_DATA_ERROR
                 : at < 0 || at + length > diskSize ? STATUS_INVALID_PARAMETER
                                                    : transfer(write, buffer, length, at);
        size = NT_SUCCESS(status) ? length : 0;
        break;
    }
    case IRP_MJ_FLUSH_BUFFERS: {
        IO_STATUS_BLOCK io;
        note(device, "flush", 0, 0);
        status = ZwFlushBuffersFile(backing, &io);
        break;
    }
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_FILE_SYSTEM_CONTROL:
        status = control(device, stack, buffer, &size);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = size;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS openFile(HANDLE *file, PUNICODE_STRING name, ACCESS_MASK access, ULONG disposition)
{
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    return ZwCreateFile(file, access | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, disposition,
                        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
}

static NTSTATUS device(PDRIVER_OBJECT driver, const WCHAR *name, const WCHAR *link,
                       PDEVICE_OBJECT *made)
{
    UNICODE_STRING nameString, linkString;
    NTSTATUS status;
    RtlInitUnicodeString(&nameString, name);
    RtlInitUnicodeString(&linkString, link);
    status = IoCreateDevice(driver, 0, &nameString, FILE_DEVICE_DISK,
                            fixed ? 0 : FILE_REMOVABLE_MEDIA, FALSE, made);
    if (!NT_SUCCESS(status))
        return status;
    (*made)->Flags |= DO_BUFFERED_IO;
    // A name that exists already (Wine's mount manager names each drive
    // letter of the prefix) is opened, not refused: it is made anew as ours.
    status = IoCreateSymbolicLink(&linkString, &nameString);
    if (status != STATUS_SUCCESS) {
        IoDeleteSymbolicLink(&linkString);
        status = IoCreateSymbolicLink(&linkString, &nameString);
    }
    return status == STATUS_SUCCESS ? status : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry)
{
    FILE_STANDARD_INFORMATION standard;
    IO_STATUS_BLOCK io;
    NTSTATUS status;

    _snwprintf(parameters, sizeof parameters / sizeof *parameters - 1, L"%.*s\\Parameters",
               registry->Length / (int)sizeof(WCHAR), registry->Buffer);
    readParameters();
    if (!backingName.Buffer)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    status = openFile(&backing, &backingName, GENERIC_READ | GENERIC_WRITE, FILE_OPEN);
    if (!NT_SUCCESS(status))
        return status;
    status =
        ZwQueryInformationFile(backing, &io, &standard, sizeof standard, FileStandardInformation);
    if (!NT_SUCCESS(status))
        return status;
    diskSize = standard.EndOfFile.QuadPart / SECTOR * SECTOR;
    if (logName.Buffer)
        openFile(&logFile, &logName, FILE_APPEND_DATA, FILE_OVERWRITE_IF);
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        driver->MajorFunction[i] = dispatch;
    status = device(driver, L"\\Device\\ImagewriteStick", L"\\DosDevices\\PhysicalDrive5", &disk);
    if (!NT_SUCCESS(status))
        return status;
    return device(driver, L"\\Device\\ImagewriteStickVolume", L"\\DosDevices\\S:", &volume);
}
