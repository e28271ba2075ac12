"""A user's script that uses every function of vsnRtrv and DriveInfo as typed."""

import subprocess

import vsnRtrv


def show(records: list[vsnRtrv.DriveInfo]) -> None:
    for record in records:
        print(record.getDrive(), record.getPath(), record.getVSN())


tag = vsnRtrv.getPlatform()
found = vsnRtrv.rtrvDriveInfo(tag)
if isinstance(found, str):
    print(found)
else:
    show(found)

show(vsnRtrv.rtrvDriveInfo("lin"))
show(vsnRtrv.rtrvDriveInfo())
show(vsnRtrv.rtrvDriveInfo(sys_type="win"))
message: str = vsnRtrv.rtrvDriveInfo("Error: Unsupported platform.")

pairs: list[list[str]] = vsnRtrv.rtrvDriveVSNPairs(sys_type="lin")
pairs = vsnRtrv.rtrvDriveVSNPairs()
pairs = vsnRtrv.rtrvDriveVSNPairsLinux()
pairs = vsnRtrv.rtrvDriveVSNPairsWindows()
entries = vsnRtrv.addDrivesPathsLinux([["/dev/sdb1", "1A2B-3C4D"]])
entries = vsnRtrv.rtrvDrivesInfoLinux()
show(vsnRtrv._convDrivesInfoListToClassLinux(entries))
show(vsnRtrv._convDrivesInfoListToClassWindows([("C:", "5E0B-A7C2")]))

drives: list[str] = vsnRtrv.rtrvDriveListWindows()
drives = vsnRtrv.rtrvDrivesFromStrWindows("Drives: C:\\ D:\\")
raw: list[bytes] = vsnRtrv.rtrvDrivesFromStrWindows(b"Drives: C:\\")
serials: list[str] = vsnRtrv.rtrvDriveListVSNsWindows(drives)
serial: str = vsnRtrv.rtrvDriveVSNWindows("C:")
serial = vsnRtrv.rtrvVSNFromStrWindows("Volume Serial Number is 5E0B-A7C2")

text: str = vsnRtrv._runCmdList(["echo", "hi"])
text = vsnRtrv._runCmdList(cmd_list="vol C:", isShellCmd=True)
text = vsnRtrv._cleanStdout(b" hi\r\n")
vsnRtrv._main()

record = vsnRtrv.DriveInfo("/dev/sdb1", "1A2B-3C4D", "/media/usb")
record = vsnRtrv.DriveInfo(drive="C:", vsn="5E0B-A7C2", path="C:")
record.setDrive("/dev/sdc1")
record.setPath(path="/media/backup")
record.setVSN("A5E6-F789")
record.updateInfo()
record.updatePath()
record.updateVSN()
line: str = record.printinfo()
name: str = str(record)

vsnRtrv.run = subprocess.run
pipe: int = vsnRtrv.PIPE
where: str = vsnRtrv.platform
