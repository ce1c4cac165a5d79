"""The synthetic systems bench.py measures: a fake /etc, the fake lsblk's and uname's replies, and
the backup devices' snapshots, made in the folder the benchmark works in."""
import json
import os
import subprocess

CONF = '/etc/kiv-recovery/kiv-recovery.ini'
ROOT_UUID = '5a1e0c7d-0000-4000-8000-000000000001'
# Every tenth snapshot failed (status 0) and is left out of the list.
UNBOOTABLE = 10
# The system calls per description: those of a run over 1,000 descriptions less those of one
# over none.
DESCRIBED, UNDESCRIBED = 'C1000', 'C0'
SNAPSHOTS = {'P0': 500, 'P1': 500, 'S100': 100, 'S10000': 10000, 'S100000': 100000,
             DESCRIBED: 1000, UNDESCRIBED: 0}
# The long string member of the large descriptions: with the rest of the document, each is just
# under the 1 MiB the tool reads of one description.
LONG = 1048000
# A device of 64 links to one description of 1 MB of raw control bytes, six bytes each when
# written: what a hostile device can make of the document. Then a device of 8,000 links to one
# description of 1 MB that is not bootable, and one of 1,000,000 snapshot folders without a
# description: neither lists anything, so only a bound on what the tool reads of a device keeps
# its time and memory from growing with what a device holds.
RAW_LINKS, LINKS, EMPTY = 64, 8000, 1000000
DEVICES = [*SNAPSHOTS, 'RAW', 'LINKS', 'EMPTY']


def uuid(name):
    return f'b4c0de00-0000-4000-8000-{name.encode().hex():0>12}'


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


def configuration(names):
    """The tool's configuration naming these backup devices, the last one the current one."""
    uuids = [uuid(name) for name in names]
    return f'[backup]\ndevice_uuid={uuids[-1]}\nhistory_device_uuid="{",".join(uuids[:-1])}"\n'


def use(path, text):
    """Writes text to path and binds it over the tool's configuration; writing it again in place
    changes what the tool reads."""
    write(path, text)
    # Each binding covers the one before: the namespace drops them all at the end.
    subprocess.run(['mount', '--bind', path, CONF], check=True)
    return path


def make_system(work):
    """Writes the fake /etc, the fake programs' replies and a folder per device."""
    write(work / 'etc' / 'kiv-recovery' / 'kiv-recovery.ini', '')
    write(work / 'etc' / 'fstab', f'UUID={ROOT_UUID}\t/\text4\terrors=remount-ro\t0\t1\n')
    write(work / 'fake' / 'lsblk --output MOUNTPOINT,UUID', f'MOUNTPOINT UUID\n/ {ROOT_UUID}\n')
    listing = f'UUID PATH\n{ROOT_UUID} /dev/vda1\n'
    for name in DEVICES:
        listing += f'{uuid(name)} /dev/kivtest{name}\n'
        (work / 'devices' / name).mkdir(parents=True)
    write(work / 'fake' / 'lsblk --output UUID,PATH', listing)
    write(work / 'fake' / 'uname -r', '6.1.0-27-amd64\n')


def snapshots(mount):
    """The device's snapshot folder, made even where it will hold nothing."""
    folder = mount / 'backup' / 'system' / 'snapshots'
    folder.mkdir(parents=True, exist_ok=True)
    return folder


def fill(mount, name, count):
    folder = snapshots(mount)
    for i in range(count):
        description = {
            'backupDevUUID': uuid(name),
            'backupVersion': f'{name}-{i}',
            'size': 8421376 + i,
            'status': 0 if i % UNBOOTABLE == UNBOOTABLE - 1 else 1,
            'time': '2026-11-30 10:00:00',
            'versionDisplay': f'Snapshot {name}-{i}',
        }
        write(folder / f'snap-{i:06}' / 'backup_info.json', json.dumps(description, indent=4))


def fill_links(mount, count, status, character):
    """count snapshots whose descriptions are links to one: a status and a string of LONG
    times the character."""
    folder = snapshots(mount)
    first = folder / 'link-00000' / 'backup_info.json'
    write(first, f'{{"status":{status},"versionDisplay":"' + character * LONG + '"}')
    for i in range(1, count):
        link = folder / f'link-{i:05}' / 'backup_info.json'
        link.parent.mkdir()
        os.link(first, link)


def fill_devices(mounts):
    """The snapshots of each device, its tmpfs mounted in the folder mounts."""
    for name, count in SNAPSHOTS.items():
        fill(mounts / name, name, count)
    fill_links(mounts / 'RAW', RAW_LINKS, 1, '\x01')
    fill_links(mounts / 'LINKS', LINKS, 0, 'x')
    # Plain strings and os.mkdir: a million folders take a few seconds this way.
    prefix = f'{snapshots(mounts / "EMPTY")}/empty-'
    for i in range(EMPTY):
        os.mkdir(f'{prefix}{i:07}')
