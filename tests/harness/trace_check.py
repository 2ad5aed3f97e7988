#!/usr/bin/python3
"""Holds Wine traces of vanta.exe against the rules Windows checks and Wine
does not.

    trace_check.py [--image NAME] [--require RULE,...] [--sector BYTES] [--strict] TRACE...
    trace_check.py --self-test

Each TRACE is the stderr of one wineserver session (the first Wine process's
stderr, which the wineserver it starts inherits) run with

    WINEDEBUG=+server,+file,+pid,+loaddll,+relay
    HKCU\\Software\\Wine\\Debug RelayInclude = ntdll.NtFlushBuffersFile;
        ntdll.NtSetInformationFile;ntdll.NtQueryInformationFile;
        ntdll.NtQueryDirectoryFile;ntdll.NtCreateFile;ntdll.NtOpenFile

(trace_runs.sh beside this script makes them). What Wine 8 prints, and what
is read from it:

  server    every request and its reply, by thread:
              0104: create_file( access=c0110080, sharing=00000001, create=2,
                    options=0020006a, ..., objattr={rootdir=0078,...,
                    name=L"00000001"}, filename="./00000001" )
              0104: create_file() = 0 { handle=0084 }
            create_file, open_file_object, alloc_file_handle, dup_handle and
            close_handle give each handle's rights (as asked: generic rights
            are mapped here as Windows maps them for files, and compared with
            the rights get_handle_fd's replies show Wine granted), sharing,
            options and path; set_fd_name_info gives a rename's root folder
            and name (rename-target); set_fd_disp_info a deletion
            (delete-pending); init_first_thread and new_thread which process a
            thread belongs to
  +file     ntdll's file calls, most of which never reach the server (Wine
            answers queries, end of file, positions and listings from the Unix
            file it keeps for the handle), with process and thread (+pid):
              0020:0104:trace:file:NtQueryInformationFile (0x80,...,0x00000012)
            NtQueryInformationFile and NtSetInformationFile (handle, class),
            NtQueryDirectoryFile, NtReadFile, NtWriteFile
  +relay    the calls named in RelayInclude, with the caller's address and
            the status: NtFlushBuffersFile, which Wine does not trace at all;
            the status that tells a rename Wine refused in ntdll; and the
            module each call came from (a +file line with no relay call
            before it was made inside ntdll itself)
  +loaddll  which process is NAME (vanta.exe), and where each module lies

For every handle of every process the check keeps what it was opened with,
and holds each call of NAME's processes against Windows' rules:

  query-attributes   FileBasicInformation, FileAllInformation (what
                     GetFileInformationByHandle asks), FileNetworkOpen-,
                     FileAttributeTagInformation need FILE_READ_ATTRIBUTES
  set-attributes     setting FileBasicInformation needs FILE_WRITE_ATTRIBUTES
  rename-delete      FileRenameInformation needs DELETE
  disposition-delete FileDispositionInformation, and FILE_DELETE_ON_CLOSE at
                     the open, need DELETE
  rename-target      a rename (or link) through a root folder handle, or to a
                     name that begins with "\\", opens the target folder for
                     FILE_WRITE_DATA|SYNCHRONIZE sharing read and write: refused
                     when another open of that folder holds DELETE or does not
                     share writing (IoCheckShareAccess; opens with no data
                     rights and no DELETE take no part)
  end-of-file        FileEndOfFileInformation, FileAllocationInformation and
                     FileValidDataLengthInformation need FILE_WRITE_DATA
  flush              NtFlushBuffersFile needs FILE_WRITE_DATA or FILE_APPEND_DATA
  list-directory     NtQueryDirectoryFile needs FILE_LIST_DIRECTORY
  create-in-folder   a create through a root folder handle needs FILE_ADD_FILE
                     (FILE_ADD_SUBDIRECTORY for a folder) on it
  synchronous        FILE_SYNCHRONOUS_IO_(NON)ALERT without SYNCHRONIZE
  delete-pending     an open of a file whose deletion is pending (its
                     disposition set, or a FILE_DELETE_ON_CLOSE handle closed,
                     while another handle still has it open) fails with
                     STATUS_DELETE_PENDING
  read-data          NtReadFile needs FILE_READ_DATA
  write-data         NtWriteFile needs FILE_WRITE_DATA or FILE_APPEND_DATA
  unbuffered         a read or write on a handle opened with
                     FILE_NO_INTERMEDIATE_BUFFERING moves whole sectors
                     (--sector, 512) from a buffer that begins on one (the
                     file position is not in the trace: not checked)

A rename that Wine refused in ntdll with STATUS_OBJECT_PATH_SYNTAX_BAD (a bare
name with no root folder: Windows renames such a name within the file's own
folder, without opening that folder) and that the program then made again on
the same handle through a root folder handle is a retry made only under Wine:
it is listed apart, with what the target-folder rule says of it, and is not
counted as a refusal unless --strict (its first form is held to
rename-delete like every rename). Likewise the first transfer on a handle
that made its file new (FILE_CREATE), unbuffered and not whole sectors,
after which the program moves the handle's position (FilePositionInformation)
before anything else: Windows refuses it, and what the program writes next
starts over from the position it sets, so it is listed apart as a probe of
the handle and counted only with --strict.

--self-test holds lines written as Wine 8 writes them, one breaking each
rule and one keeping it, to the rules: every rule must refuse the one and
pass the other.

Prints each refusal (trace, line, call, handle, rule), then per rule and per
trace the calls checked and refused, then what the traces hold that no rule
covers. Exit code 1 when Windows would refuse a call, 2 when the traces can't
be checked (no process of NAME, or a rule named by --require checked no call),
else 0.
"""
import argparse
import collections
import os
import re
import sys

# access rights
FILE_READ_DATA = 0x1            # FILE_LIST_DIRECTORY on a folder
FILE_WRITE_DATA = 0x2           # FILE_ADD_FILE
FILE_APPEND_DATA = 0x4          # FILE_ADD_SUBDIRECTORY
FILE_EXECUTE = 0x20             # FILE_TRAVERSE
FILE_READ_ATTRIBUTES = 0x80
FILE_WRITE_ATTRIBUTES = 0x100
DELETE = 0x10000
SYNCHRONIZE = 0x100000
MAXIMUM_ALLOWED = 0x02000000
GENERIC = ((0x80000000, 0x00120089),   # GENERIC_READ    -> FILE_GENERIC_READ
           (0x40000000, 0x00120116),   # GENERIC_WRITE   -> FILE_GENERIC_WRITE
           (0x20000000, 0x001200A0),   # GENERIC_EXECUTE -> FILE_GENERIC_EXECUTE
           (0x10000000, 0x001F01FF))   # GENERIC_ALL     -> FILE_ALL_ACCESS
FILE_ALL_ACCESS = 0x001F01FF
SHARE_ACCESS_RIGHTS = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_EXECUTE | DELETE

# sharing
SHARE_READ, SHARE_WRITE, SHARE_DELETE = 1, 2, 4

# create options
FILE_DIRECTORY_FILE = 0x1
FILE_SYNCHRONOUS_IO_ALERT = 0x10
FILE_SYNCHRONOUS_IO_NONALERT = 0x20
FILE_NO_INTERMEDIATE_BUFFERING = 0x8
FILE_DELETE_ON_CLOSE = 0x1000

# dispositions that make the file when it is not there
CREATING = {0: "FILE_SUPERSEDE", 2: "FILE_CREATE", 3: "FILE_OPEN_IF", 5: "FILE_OVERWRITE_IF"}

STATUS_OBJECT_PATH_SYNTAX_BAD = 0xC000003B

# the program's requests of the registry, its token and objects' security:
# DACLs and elevation are not in a trace (Wine grants every process
# Administrators and checks no DACL), so no rule here holds them
UNRULED_REQUESTS = {'create_key', 'open_key', 'set_key_value', 'delete_key_value', 'delete_key', 'flush_key',
                    'open_token', 'get_token_info', 'get_token_sid', 'get_token_groups', 'get_token_privileges',
                    'set_security_object', 'get_security_object'}

QUERY_NEEDS_READ_ATTRIBUTES = {4: "FileBasicInformation", 18: "FileAllInformation",
                               34: "FileNetworkOpenInformation", 35: "FileAttributeTagInformation"}
INFORMATION_CLASSES = {4: "FileBasicInformation", 5: "FileStandardInformation", 6: "FileInternalInformation",
                       7: "FileEaInformation", 9: "FileNameInformation", 10: "FileRenameInformation",
                       11: "FileLinkInformation", 13: "FileDispositionInformation",
                       14: "FilePositionInformation", 16: "FileModeInformation", 17: "FileAlignmentInformation",
                       18: "FileAllInformation", 19: "FileAllocationInformation",
                       20: "FileEndOfFileInformation", 34: "FileNetworkOpenInformation",
                       35: "FileAttributeTagInformation", 37: "FileIdBothDirectoryInformation",
                       39: "FileValidDataLengthInformation", 64: "FileDispositionInformationEx",
                       65: "FileRenameInformationEx"}
# queries and sets that need no right on the handle
NO_RIGHT = {5, 6, 7, 9, 14, 16, 17}

RULES = collections.OrderedDict([
    ("query-attributes", "a FileBasic/FileAll/NetworkOpen/AttributeTag query needs FILE_READ_ATTRIBUTES"),
    ("set-attributes", "setting FileBasicInformation needs FILE_WRITE_ATTRIBUTES"),
    ("rename-delete", "a rename needs DELETE on the file's handle"),
    ("disposition-delete", "a disposition (or FILE_DELETE_ON_CLOSE) needs DELETE"),
    ("rename-target", "a rename through a root folder opens it for FILE_WRITE_DATA sharing read|write"),
    ("end-of-file", "end of file / allocation / valid data length need FILE_WRITE_DATA"),
    ("flush", "a flush needs FILE_WRITE_DATA or FILE_APPEND_DATA"),
    ("list-directory", "a listing needs FILE_LIST_DIRECTORY"),
    ("create-in-folder", "a create through a root folder needs FILE_ADD_FILE (ADD_SUBDIRECTORY) on it"),
    ("synchronous", "synchronous I/O options need SYNCHRONIZE"),
    ("delete-pending", "no open of a file whose deletion is pending"),
    ("read-data", "a read needs FILE_READ_DATA"),
    ("write-data", "a write needs FILE_WRITE_DATA or FILE_APPEND_DATA"),
    ("unbuffered", "an unbuffered read or write: whole sectors, from a sector-aligned buffer"),
])

SERVER_REQUEST = re.compile(r'^([0-9a-f]{4}): (\w+)\( ?(.*?) ?\)$')
SERVER_REPLY = re.compile(r'^([0-9a-f]{4}): (\w+)\(\) = (\w+)(?: \{ (.*) \})?$')
CLIENT = re.compile(r'^([0-9a-f]{4}):([0-9a-f]{4}):(trace|warn|err|fixme):(\w+):(\w+) ?(.*)$')
RELAY_CALL = re.compile(r'^([0-9a-f]{4}):([0-9a-f]{4}):Call ntdll\.(\w+)\((.*)\) ret=([0-9a-f]+)$')
RELAY_RET = re.compile(r'^([0-9a-f]{4}):([0-9a-f]{4}):Ret  ntdll\.(\w+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$')
OTHER_CLIENT = re.compile(r'^([0-9a-f]{4}):([0-9a-f]{4}):')
LOADED = re.compile(r'^Loaded L"((?:[^"\\]|\\.)*)" at ([0-9A-Fa-f]+)')


def field(text, name):
    """A hex field of a server line, as a number; None when absent."""
    m = re.search(r'(?:^|[\s{,(])' + name + r'=([0-9a-fA-F]+)\b', text)
    return int(m.group(1), 16) if m else None


def string_field(text, name, wide):
    m = re.search(r'(?:^|[\s{,(])' + name + '=' + ('L' if wide else '') + r'"((?:[^"\\]|\\.)*)"', text)
    return re.sub(r'\\(.)', r'\1', m.group(1)) if m else None


def map_generic(access):
    mapped = access
    for bit, rights in GENERIC:
        if access & bit:
            mapped = (mapped & ~bit) | rights
    if access & MAXIMUM_ALLOWED:
        # whatever the DACL allows: every right, as far as a check of rights can tell
        mapped = (mapped & ~MAXIMUM_ALLOWED) | FILE_ALL_ACCESS
    return mapped


def canonical(path):
    """One name for one file: the drive-letter form where Wine's dosdevices
    are in the path, / between names, no trailing /, case folded (NTFS)."""
    if path is None:
        return None
    path = path.replace('\\', '/')
    if '/dosdevices/' in path:
        path = path.split('/dosdevices/', 1)[1]
    elif path.startswith('/??/'):
        path = path[4:]
    if path not in ('', '.'):
        path = os.path.normpath(path)
    return path.rstrip('/').lower() or '/'


def join(base, name):
    if base is None:
        return None
    return canonical(base + '/' + name.replace('\\', '/')) if name else base


def flags(value, table):
    return ', '.join(label for bit, label in table if value & bit) or 'none'


ACCESS_NAMES = [(0x1, 'READ_DATA/LIST'), (0x2, 'WRITE_DATA/ADD_FILE'), (0x4, 'APPEND_DATA/ADD_SUBDIR'),
                (0x8, 'READ_EA'), (0x10, 'WRITE_EA'), (0x20, 'EXECUTE/TRAVERSE'), (0x40, 'DELETE_CHILD'),
                (0x80, 'READ_ATTRIBUTES'), (0x100, 'WRITE_ATTRIBUTES'), (DELETE, 'DELETE'),
                (0x20000, 'READ_CONTROL'), (0x40000, 'WRITE_DAC'), (0x80000, 'WRITE_OWNER'),
                (SYNCHRONIZE, 'SYNCHRONIZE')]
SHARE_NAMES = [(SHARE_READ, 'read'), (SHARE_WRITE, 'write'), (SHARE_DELETE, 'delete')]


class Handle:
    def __init__(self, access, sharing, options, path, line, how, made=False):
        self.made = made              # opened with FILE_CREATE: the file is new
        self.transfers = 0
        self.access = access          # as granted: generic rights mapped
        self.sharing = sharing
        self.options = options
        self.path = path
        self.line = line
        self.how = how

    def describe(self):
        return '%s (opened at line %d by %s, access %08x [%s], sharing %s)' % (
            self.path or '?', self.line, self.how, self.access, flags(self.access, ACCESS_NAMES),
            flags(self.sharing, SHARE_NAMES) if self.sharing is not None else '?')


class Checker:
    def __init__(self, image, strict, sector=512):
        self.image = image.lower()
        self.sector = sector
        self.strict = strict
        self.checked = collections.Counter()     # (trace, rule)
        self.refused = collections.Counter()
        self.refusals = []
        self.retries = []
        self.probes = []
        self.unknown = collections.Counter()     # calls on handles the trace never opened
        self.unknown_examples = {}
        self.unchecked = collections.Counter()   # calls no rule covers
        self.unchecked_example = {}
        self.mapping_checked = 0
        self.mapping_differs = []
        self.traces = []
        self.summaries = []
        self.targets_ever_all = set()

    # -------------------------------------------------------------- one trace
    def run(self, path):
        self.trace = os.path.basename(path)
        self.traces.append(self.trace)
        self.tid_pid = {}
        self.process_handles = collections.defaultdict(dict)   # pid -> handle -> pid it stands for
        self.handles = collections.defaultdict(dict)           # pid -> handle -> Handle
        self.pending = {}                                      # tid -> (request, arguments, line)
        self.targets = set()
        self.modules = collections.defaultdict(list)           # pid -> [(base, name)]
        self.relay = {}                                        # tid -> (function, arguments, caller)
        self.refused_rename = {}                               # tid -> handle Wine refused a bare rename of
        self.deleting = {}                                     # path -> line its deletion became pending
        self.probing = {}                                      # (pid, handle) -> an unaligned first write
        self.targets_ever = set()
        self.relay_lines = 0
        self.fragments = 0
        lines = 0
        seen = []
        with open(path, 'rb') as trace:
            for number, raw in enumerate(trace, 1):
                lines = number
                self.line(number, raw.decode('utf-8', 'replace').rstrip('\r\n'))
        for key in list(self.probing):
            self.probe_ends(key[0], key[1], False)
        for pid in sorted(self.targets_ever):
            seen.append('process %04x' % pid)
        self.targets_ever_all |= self.targets_ever
        self.summaries.append('%s: %d lines, %s of %s%s%s' % (
            self.trace, lines, ', '.join(seen) or 'no process', self.image,
            '' if self.relay_lines else ', NO relay lines (flushes not seen, retries not told apart)',
            (', %d lines unreadable (interleaved writes?)' % self.fragments) if self.fragments else ''))

    def pid_of(self, tid):
        return self.tid_pid.get(tid)

    def line(self, number, text):
        m = CLIENT.match(text)
        if m:
            pid, tid = int(m.group(1), 16), int(m.group(2), 16)
            self.tid_pid[tid] = pid
            self.client(number, pid, tid, m.group(4), m.group(5), m.group(6))
            return
        m = RELAY_CALL.match(text)
        if m:
            pid, tid = int(m.group(1), 16), int(m.group(2), 16)
            self.tid_pid[tid] = pid
            self.relay_lines += 1
            self.relay_call(number, pid, tid, m.group(3), m.group(4), int(m.group(5), 16))
            return
        m = RELAY_RET.match(text)
        if m:
            self.relay_lines += 1
            self.relay_ret(number, int(m.group(1), 16), int(m.group(2), 16), m.group(3), int(m.group(4), 16))
            return
        m = SERVER_REPLY.match(text)
        if m:
            self.reply(number, int(m.group(1), 16), m.group(2), m.group(3), m.group(4) or '')
            return
        m = SERVER_REQUEST.match(text)
        if m:
            self.pending[int(m.group(1), 16)] = (m.group(2), m.group(3) or '', number)
            return
        m = OTHER_CLIENT.match(text)
        if m:       # another line of a process's own (relay's "Starting thread proc", ...)
            self.tid_pid[int(m.group(2), 16)] = int(m.group(1), 16)
            return
        if re.match(r'^[0-9a-f]{4}: (\*|\t)', text) or text.startswith(('wineserver:', 'sock_init:')) \
                or not text.strip():
            return
        self.fragments += 1

    def caller(self, pid, address):
        best = None
        for base, name in self.modules[pid]:
            if base <= address and (best is None or base > best[0]):
                best = (base, name)
        return best[1] if best else '%08x' % address

    # -------------------------------------------------------------- the server
    def reply(self, number, tid, request, status, fields):
        pending = self.pending.pop(tid, None)
        if not pending or pending[0] != request:
            return
        args, at = pending[1], pending[2]
        pid = self.pid_of(tid)
        if request == 'init_first_thread' and status == '0':
            new_pid, new_tid = field(fields, 'pid'), field(fields, 'tid')
            # a new process: whatever an earlier one of that id held is gone
            self.handles.pop(new_pid, None)
            self.process_handles.pop(new_pid, None)
            self.modules.pop(new_pid, None)
            self.targets.discard(new_pid)
            self.tid_pid[new_tid] = new_pid
            return
        if pid is None:
            return
        if pid in self.targets and request in UNRULED_REQUESTS:
            self.unchecked['server request %s: no rule' % request] += 1
        if request == 'new_thread' and status == '0':
            process = field(args, 'process')
            owner = pid if process == 0xffffffff else self.process_handles[pid].get(process)
            if owner is not None:
                self.tid_pid[field(fields, 'tid')] = owner
        elif request == 'new_process' and status == '0':
            self.process_handles[pid][field(fields, 'handle')] = field(fields, 'pid')
        elif request in ('create_file', 'open_file_object'):
            self.opened(number, at, pid, request, args, status, fields)
        elif request == 'alloc_file_handle' and status == '0':
            self.handles[pid][field(fields, 'handle')] = Handle(
                map_generic(field(args, 'access') or 0), None, 0, 'unix fd %d' % field(args, 'fd'), at, request)
        elif request == 'dup_handle' and status == '0':
            self.duplicated(at, pid, args, fields)
        elif request == 'close_handle' and status == '0':
            self.closed(number, pid, field(args, 'handle'))
        elif request == 'get_handle_fd' and status == '0':
            known = self.handles[pid].get(field(args, 'handle'))
            granted = field(fields, 'access')
            if known is not None and granted is not None:
                self.mapping_checked += 1
                if known.access != granted and len(self.mapping_differs) < 20:
                    self.mapping_differs.append('%s line %d: handle %04x %s: Wine granted %08x' % (
                        self.trace, number, field(args, 'handle'), known.describe(), granted))
        elif request == 'set_fd_name_info':
            self.renamed(at, pid, tid, args, status)
        elif request == 'set_fd_disp_info' and status == '0':
            known = self.handles[pid].get(field(args, 'handle'))
            if known is not None and known.path:
                if field(args, 'unlink'):
                    self.deleting.setdefault(known.path, at)
                else:
                    self.deleting.pop(known.path, None)

    def open_handles(self, path):
        return [(owner, value, h) for owner, table in self.handles.items()
                for value, h in table.items() if h.path == path]

    def opened(self, number, at, pid, request, args, status, fields):
        access = map_generic(field(args, 'access') or 0)
        sharing = field(args, 'sharing')
        options = field(args, 'options') or 0
        rootdir = field(args, 'rootdir') or 0
        if request == 'create_file':
            name = string_field(args, 'name', True) or ''
            unix = string_field(args, 'filename', False)
            disposition = field(args, 'create')
        else:
            name = string_field(args, 'filename', True) or ''
            unix, disposition = None, None
        root = self.handles[pid].get(rootdir) if rootdir else None
        if rootdir:
            path = join(root.path, name) if root else None
        else:
            path = canonical(unix if unix is not None else name)
        call = '%s(%s%s)' % (request, ('root %04x, ' % rootdir) if rootdir else '', path or name)
        target = pid in self.targets
        if target:
            # Windows refuses these before it looks for the file: held to them
            # whether or not Wine's open then succeeded
            if options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT):
                self.check('synchronous', at, call, None, access & SYNCHRONIZE,
                           'options %08x ask for synchronous I/O, access %08x has no SYNCHRONIZE' % (options, access))
            if options & FILE_DELETE_ON_CLOSE:
                self.check('disposition-delete', at, call, None, access & DELETE,
                           'FILE_DELETE_ON_CLOSE without DELETE (access %08x)' % access)
            if path is not None and not path.startswith(('/device/', 'device/')):
                holders = [h for h in self.open_handles(path)] if path in self.deleting else []
                self.check('delete-pending', at, call, None, not holders,
                           'its deletion is pending since line %d and %d handle(s) still hold it open, '
                           'e.g. %s' % (self.deleting.get(path, 0), len(holders),
                                        holders[0][2].describe() if holders else ''))
        if status != '0':
            return
        handle = field(fields, 'handle')
        if target and rootdir and name and disposition in CREATING:
            folder = options & FILE_DIRECTORY_FILE
            need = FILE_APPEND_DATA if folder else FILE_WRITE_DATA
            what = 'FILE_ADD_SUBDIRECTORY' if folder else 'FILE_ADD_FILE'
            if root is None:
                self.unknown_handle(at, call, rootdir, 'create-in-folder')
            else:
                self.check('create-in-folder', at, '%s, %s' % (call, CREATING[disposition]), root,
                           root.access & need, 'the root folder handle has no %s' % what, handle=rootdir)
        self.handles[pid][handle] = Handle(access, sharing, options, path, at, request, disposition == 2)

    def closed(self, number, pid, value):
        self.probe_ends(pid, value, False)
        handle = self.handles[pid].pop(value, None)
        self.process_handles[pid].pop(value, None)
        if handle is None or not handle.path:
            return
        others = self.open_handles(handle.path)
        if not others:
            self.deleting.pop(handle.path, None)        # the last handle: the file is gone
        elif handle.options & FILE_DELETE_ON_CLOSE:
            self.deleting.setdefault(handle.path, number)

    def duplicated(self, at, pid, args, fields):
        source_process, target_process = field(args, 'src_process'), field(args, 'dst_process')
        source_pid = pid if source_process == 0xffffffff else self.process_handles[pid].get(source_process)
        target_pid = pid if target_process == 0xffffffff else self.process_handles[pid].get(target_process)
        if source_pid is None or target_pid is None:
            return
        source = self.handles[source_pid].get(field(args, 'src_handle'))
        options = field(args, 'options') or 0
        if options & 1:     # DUPLICATE_CLOSE_SOURCE
            self.handles[source_pid].pop(field(args, 'src_handle'), None)
        if source is None:
            return
        access = source.access if options & 2 else map_generic(field(args, 'access') or 0)
        self.handles[target_pid][field(fields, 'handle')] = Handle(
            access, source.sharing, source.options & ~FILE_DELETE_ON_CLOSE, source.path, at,
            'dup_handle of the handle opened at line %d' % source.line)

    def renamed(self, number, pid, tid, args, status):
        value, rootdir = field(args, 'handle'), field(args, 'rootdir') or 0
        name = string_field(args, 'name', True) or ''
        unix = string_field(args, 'filename', False)
        link = field(args, 'link')
        handle = self.handles[pid].get(value)
        if rootdir:
            root = self.handles[pid].get(rootdir)
            target = join(root.path, name) if root else None
        else:
            root, target = None, canonical(unix if unix else name)
        if status == '0' and not link and handle is not None and handle.path and target:
            # the file goes by its new name now, for every handle on it
            for _, _, other in self.open_handles(handle.path):
                other.path = target
        retry = self.refused_rename.pop(tid, None) == value
        if pid not in self.targets:
            return
        call = 'set_fd_name_info(%s of handle %04x%s to "%s")' % (
            'link' if link else 'rename', value, (' through root %04x' % rootdir) if rootdir else '', name)
        if rootdir and root is None:
            self.unknown_handle(number, call, rootdir, 'rename-target')
            return
        if not rootdir and not name.startswith('\\'):
            return      # a bare name: within the file's own folder, which Windows does not open
        folder = target.rsplit('/', 1)[0] if target and '/' in target else None
        refusing = []
        for owner, other_value, other in self.open_handles(folder):
            # IoCheckShareAccess: an open with no data rights and no DELETE takes no part
            if not other.access & SHARE_ACCESS_RIGHTS:
                continue
            why = []
            if other.access & DELETE:
                why.append('holds DELETE, which the target folder\'s open does not share')
            if other.sharing is not None and not other.sharing & SHARE_WRITE:
                why.append('does not share writing')
            if why:
                refusing.append('handle %04x of process %04x %s: %s' % (
                    other_value, owner, other.describe(), ' and '.join(why)))
        reason = 'the target folder %s is opened for FILE_WRITE_DATA|SYNCHRONIZE sharing read|write; %s' % (
            folder, '; '.join(refusing))
        if retry and not self.strict:
            self.retries.append('%s line %d: %s, made after Wine refused the same rename by a bare name '
                                '(STATUS_OBJECT_PATH_SYNTAX_BAD), which Windows takes: %s' % (
                                    self.trace, number, call,
                                    ('as made here Windows would refuse it: ' + reason) if refusing
                                    else 'as made here it would pass on Windows too'))
            return
        self.check('rename-target', number, call, None, not refusing, reason)

    # -------------------------------------------------------------- ntdll
    def client(self, number, pid, tid, channel, function, rest):
        if channel == 'loaddll' and function == 'build_module':
            m = LOADED.search(rest)
            if m:
                module = re.sub(r'\\(.)', r'\1', m.group(1)).replace('\\', '/').rsplit('/', 1)[-1].lower()
                self.modules[pid].append((int(m.group(2), 16), module))
                if module == self.image:
                    self.targets.add(pid)
                    self.targets_ever.add(pid)
            return
        if channel != 'file' or pid not in self.targets or not function.startswith('Nt'):
            return
        if function in ('NtCreateFile', 'NtOpenFile') or rest.startswith(('=', 'handle=')):
            return      # opens are held to the rules through the server's create_file; results
        m = re.match(r'\(\s*(0x[0-9a-f]+|\(nil\))', rest)
        if not m:
            self.unchecked['%s (by name, no handle): no rule' % function] += 1
            return
        value = int(m.group(1), 16) if m.group(1) != '(nil)' else 0
        args = [a for a in re.split(r'[,\s]+', rest.strip('() ')) if a]
        relayed = self.relay.get(tid)
        source = relayed[2] if relayed and relayed[0] == function else 'inside ntdll'
        known = self.handles[pid].get(value)
        if (pid, value) in self.probing:
            self.probe_ends(pid, value, function == 'NtSetInformationFile' and len(args) > 4 and
                            int(args[4], 16) == 14)
        if function in ('NtQueryInformationFile', 'NtSetInformationFile'):
            info = int(args[4], 16)
            label = '%s(%s) from %s' % (function, INFORMATION_CLASSES.get(info, 'class %d' % info), source)
            query = function == 'NtQueryInformationFile'
            if query and info in QUERY_NEEDS_READ_ATTRIBUTES:
                self.on_handle('query-attributes', number, pid, value, label, FILE_READ_ATTRIBUTES,
                               'no FILE_READ_ATTRIBUTES')
            elif not query and info in (10, 65):
                self.on_handle('rename-delete', number, pid, value, label, DELETE, 'no DELETE')
            elif not query and info in (13, 64):
                self.on_handle('disposition-delete', number, pid, value, label, DELETE, 'no DELETE')
            elif not query and info in (19, 20, 39):
                self.on_handle('end-of-file', number, pid, value, label, FILE_WRITE_DATA, 'no FILE_WRITE_DATA')
            elif not query and info == 4:
                self.on_handle('set-attributes', number, pid, value, label, FILE_WRITE_ATTRIBUTES,
                               'no FILE_WRITE_ATTRIBUTES')
            elif info in NO_RIGHT:
                self.unchecked[label + ': needs no right'] += 1
            else:
                self.unchecked[label + ': no rule'] += 1
        elif function == 'NtQueryDirectoryFile':
            self.on_handle('list-directory', number, pid, value, 'NtQueryDirectoryFile from ' + source,
                           FILE_READ_DATA, 'no FILE_LIST_DIRECTORY')
        elif function in ('NtReadFile', 'NtWriteFile'):
            if function == 'NtReadFile':
                self.on_handle('read-data', number, pid, value, function, FILE_READ_DATA, 'no FILE_READ_DATA')
            else:
                self.on_handle('write-data', number, pid, value, function, FILE_WRITE_DATA | FILE_APPEND_DATA,
                               'neither FILE_WRITE_DATA nor FILE_APPEND_DATA')
            if known is not None and known.options & FILE_NO_INTERMEDIATE_BUFFERING and len(args) > 6:
                buffer, size = int(args[5], 16), int(args[6], 16)
                call = '%s of %d bytes from %08x' % (function, size, buffer)
                aligned = size % self.sector == 0 and buffer % self.sector == 0
                reason = 'not whole %d-byte sectors from a buffer on a sector' % self.sector
                if not aligned and known.made and not known.transfers and function == 'NtWriteFile' \
                        and not self.strict:
                    # decided by what the program does next on the handle
                    self.checked[self.trace, 'unbuffered'] += 1
                    self.probing[pid, value] = (self.trace, number, call, known, reason)
                else:
                    self.check('unbuffered', number, call, known, aligned, reason, handle=value)
            if known is not None:
                known.transfers += 1
        elif function in ('NtDeviceIoControlFile', 'NtFsControlFile'):
            key = '%s code %s: no rule' % (function, args[5] if len(args) > 5 else '?')
            self.unchecked[key] += 1
            self.unchecked_example.setdefault(key, known.path if known else 'a handle the trace never opened')
        else:
            self.unchecked['%s: no rule' % function] += 1

    def relay_call(self, number, pid, tid, function, args, address):
        self.relay[tid] = (function, args, self.caller(pid, address))
        if pid in self.targets and function == 'NtFlushBuffersFile':
            self.on_handle('flush', number, pid, int(args.split(',')[0], 16),
                           'NtFlushBuffersFile from ' + self.caller(pid, address),
                           FILE_WRITE_DATA | FILE_APPEND_DATA, 'neither FILE_WRITE_DATA nor FILE_APPEND_DATA')

    def relay_ret(self, number, pid, tid, function, status):
        call = self.relay.pop(tid, None)
        if not call or call[0] != function or function != 'NtSetInformationFile':
            return
        args = call[1].split(',')
        if int(args[4], 16) in (10, 65):
            if status == STATUS_OBJECT_PATH_SYNTAX_BAD:
                self.refused_rename[tid] = int(args[0], 16)
            else:
                self.refused_rename.pop(tid, None)

    def probe_ends(self, pid, value, moved):
        """The call after an unaligned first write on a new file's handle: a
        move of its position makes the write a probe, anything else a refusal."""
        probe = self.probing.pop((pid, value), None)
        if probe is None:
            return
        trace, number, call, known, reason = probe
        if moved:
            self.probes.append('%s line %d: %s on handle %04x, the first write into the new file %s: %s; '
                               'Windows refuses it, and the program then sets the handle\'s position before '
                               'anything else' % (trace, number, call, value, known.path, reason))
            return
        self.refused[trace, 'unbuffered'] += 1
        self.refusals.append('%s line %d: [unbuffered] %s on handle %04x: %s\n        the handle: %s' % (
            trace, number, call, value, reason, known.describe()))

    # -------------------------------------------------------------- the rules
    def unknown_handle(self, number, call, value, rule):
        self.unknown[rule] += 1
        self.unknown_examples.setdefault(rule, '%s line %d: %s on handle %04x' % (self.trace, number, call, value))

    def on_handle(self, rule, number, pid, value, call, need, lack):
        known = self.handles[pid].get(value)
        if known is None:
            self.unknown_handle(number, call, value, rule)
            return
        self.check(rule, number, call, known, known.access & need, lack, handle=value)

    def check(self, rule, number, call, handle_info, passed, reason, handle=None):
        self.checked[self.trace, rule] += 1
        if passed:
            return
        self.refused[self.trace, rule] += 1
        self.refusals.append('%s line %d: [%s] %s%s: %s%s' % (
            self.trace, number, rule, call, (' on handle %04x' % handle) if handle is not None else '', reason,
            ('\n        the handle: ' + handle_info.describe()) if handle_info else ''))

    # -------------------------------------------------------------- the report
    def report(self, require):
        for summary in self.summaries:
            print(summary)
        if self.refusals:
            print('\nCalls Windows would refuse (%d):' % len(self.refusals))
            for refusal in self.refusals:
                print('  ' + refusal)
        if self.retries:
            print('\nRenames made again only because Wine refused their first form (%d, not counted as '
                  'refusals; --strict counts them):' % len(self.retries))
            for retry in self.retries:
                print('  ' + retry)
        if self.probes:
            print('\nFirst writes into new files that Windows refuses and the program writes over (%d, not '
                  'counted as refusals; --strict counts them):' % len(self.probes))
            for probe in self.probes:
                print('  ' + probe)
        width = max(14, max(len(t) for t in self.traces) if self.traces else 0)
        print('\nCalls checked / refused, per rule and trace:')
        print('  %-19s' % 'rule' + ''.join(' %*s' % (width, t) for t in self.traces) + ' %14s' % 'all')
        for rule, text in list(RULES.items()) + [('all', '')]:
            cells, total_checked, total_refused = [], 0, 0
            for trace in self.traces:
                if rule == 'all':
                    c = sum(n for (t, _), n in self.checked.items() if t == trace)
                    r = sum(n for (t, _), n in self.refused.items() if t == trace)
                else:
                    c, r = self.checked[trace, rule], self.refused[trace, rule]
                total_checked += c
                total_refused += r
                cells.append(' %*s' % (width, '%d / %d' % (c, r)))
            print('  %-19s' % rule + ''.join(cells) + ' %14s' % ('%d / %d' % (total_checked, total_refused)) +
                  ('  ' + text if text else ''))
        print('\nGeneric rights mapped here against the rights Wine granted (get_handle_fd): %d handles '
              'compared, %d differ' % (self.mapping_checked, len(self.mapping_differs)))
        for line in self.mapping_differs:
            print('  ' + line)
        if self.unknown:
            print('\nCalls on handles the traces never opened (not checked):')
            for rule, count in sorted(self.unknown.items()):
                print('  %-19s %6d  e.g. %s' % (rule, count, self.unknown_examples[rule]))
        if self.unchecked:
            print('\nCalls of the program that no rule here covers:')
            for what, count in sorted(self.unchecked.items()):
                example = self.unchecked_example.get(what)
                print('  %6d  %s%s' % (count, what, (' (e.g. on %s)' % example) if example else ''))
        code = 0
        if not self.targets_ever_all:
            print('\nNo process of %s in the traces: nothing was checked' % self.image)
            code = 2
        for rule in require:
            if not sum(self.checked[trace, rule] for trace in self.traces):
                print('\nNo call was checked against %s, which these runs must make' % rule)
                code = 2
        refused = collections.Counter()
        for (_, rule), count in self.refused.items():
            refused[rule] += count
        if self.refusals:
            code = 1
            print('\n%d calls Windows would refuse: %s' % (len(self.refusals), ', '.join(
                '%s %d' % (rule, refused[rule]) for rule in RULES if refused[rule])))
        elif code == 0:
            print('\nNo call that Windows would refuse (%d calls checked).' % sum(self.checked.values()))
        return code


# ------------------------------------------------------------------ self-test
def self_test():
    """Every rule refuses a call that breaks it and lets one that keeps it
    pass, on lines written as Wine 8 writes them: the check can fail."""
    import tempfile
    lines = ['0024: init_first_thread( unix_pid=1, unix_tid=1, debug_level=1, reply_fd=7, wait_fd=9 )',
             '0024: init_first_thread() = 0 { pid=0020, tid=0024, server_start=0, session_id=00000001, '
             'info_size=0, machines={014c} }',
             r'0020:0024:trace:loaddll:build_module Loaded L"Z:\\b\\ui\\vanta.exe" at 00400000: native',
             r'0020:0024:trace:loaddll:build_module Loaded L"C:\\windows\\system32\\kernelbase.dll" '
             'at 7B000000: builtin']
    handles = iter(range(0x80, 0x400, 4))

    def open_file(access, sharing, name, options=0x20, create=1, rootdir=0):
        value = next(handles)
        unix = ('./' + name) if rootdir else '/p/dosdevices/t:/' + name.replace('\\', '/')
        nt = name if rootdir else '\\\\??\\\\T:\\\\' + name.replace('\\', '\\\\')
        lines.append('0024: create_file( access=%08x, sharing=%08x, create=%d, options=%08x, attrs=00000000, '
                     'objattr={rootdir=%04x,attributes=00000040,sd={},name=L"%s"}, filename="%s" )'
                     % (access, sharing, create, options, rootdir, nt, unix))
        lines.append('0024: create_file() = 0 { handle=%04x }' % value)
        return value

    def ntdll(function, value, info=None):
        lines.append('0020:0024:Call ntdll.%s(%08x,0077f000,0077f010,00000068%s) ret=00401000' % (
            function, value, (',%08x' % info) if info is not None else ''))
        lines.append('0020:0024:trace:file:%s (0x%x,0x77f000,0x77f010,0x00000068%s)' % (
            function, value, (',0x%08x' % info) if info is not None else ''))
        lines.append('0020:0024:Ret  ntdll.%s() retval=00000000 ret=00401000' % function)

    def server(request, arguments, reply='0'):
        lines.append('0024: %s( %s )' % (request, arguments))
        lines.append('0024: %s() = %s' % (request, reply))

    folder = open_file(0x001700a3, 3, '$VANTA$$', options=0x4021)           # held: DELETE, no delete sharing
    listing = open_file(0x00100001, 7, '', options=0x200021, rootdir=folder)
    bare = open_file(0x00100000, 7, 'other', options=0x21)                     # no LIST, no ADD_FILE
    writer = open_file(0x40100000, 1, 'w')                                     # GENERIC_WRITE: no READ_ATTRIBUTES
    reader = open_file(0x80100000, 1, 'r')                                     # GENERIC_READ: no WRITE_DATA
    whole = open_file(0xc0110080, 0, 'd', rootdir=folder, create=2, options=0x20006a)
    ntdll('NtQueryInformationFile', writer, 18)                                # query-attributes: refused
    ntdll('NtQueryInformationFile', reader, 4)                                 # passes
    ntdll('NtSetInformationFile', reader, 4)                                   # set-attributes: refused
    ntdll('NtSetInformationFile', writer, 4)                                   # passes
    ntdll('NtSetInformationFile', writer, 10)                                  # rename-delete: refused
    ntdll('NtSetInformationFile', whole, 10)                                   # passes
    ntdll('NtSetInformationFile', writer, 13)                                  # disposition-delete: refused
    ntdll('NtSetInformationFile', whole, 13)                                   # passes
    open_file(0x00100080, 7, 'doc', options=0x1020)                            # refused: no DELETE
    ntdll('NtSetInformationFile', reader, 20)                                  # end-of-file: refused
    ntdll('NtSetInformationFile', writer, 20)                                  # passes
    lines.append('0020:0024:Call ntdll.NtFlushBuffersFile(%08x,0077f000) ret=7b001000' % reader)   # refused
    lines.append('0020:0024:Call ntdll.NtFlushBuffersFile(%08x,0077f000) ret=7b001000' % writer)   # passes
    ntdll('NtQueryDirectoryFile', bare)                                        # list-directory: refused
    ntdll('NtQueryDirectoryFile', listing)                                     # passes
    open_file(0xc0110080, 1, 'n1', rootdir=bare, create=2)                     # create-in-folder: refused
    open_file(0xc0110080, 1, 'n2', rootdir=folder, create=2)                   # passes
    open_file(0x00000080, 7, 's', options=0x20)                                # synchronous: refused (and passes
                                                                               # for every open above)
    ntdll('NtReadFile', writer)                                                # read-data: refused
    ntdll('NtReadFile', reader)                                                # passes
    ntdll('NtWriteFile', reader)                                               # write-data: refused
    ntdll('NtWriteFile', writer)                                               # passes
    def write(value, size):
        lines.append('0020:0024:trace:file:NtWriteFile (0x%x,(nil),(nil),(nil),0x23ef3d8,0x24f0000,0x%08x,'
                     '(nil),(nil))' % (value, size))
    probed = open_file(0xc0110080, 1, 'p', rootdir=folder, create=2, options=0x20006a)
    write(probed, 700)                                                         # a probe: the position moves next
    ntdll('NtSetInformationFile', probed, 14)
    write(probed, 0x00400000)                                                  # unbuffered: passes
    write(probed, 0x000003ff)                                                  # refused
    unprobed = open_file(0xc0110080, 1, 'q', rootdir=folder, create=2, options=0x20006a)
    write(unprobed, 700)                                                       # refused: the next write goes on
    write(unprobed, 0x00400000)
    # rename-target: through the held folder (refused), through a folder every open shares (passes)
    server('set_fd_name_info', 'handle=%04x, rootdir=%04x, namelen=2, link=0, replace=0, name=L"x", '
           'filename="./x"' % (whole, folder))
    shared = open_file(0x00100001, 7, 'shared', options=0x21)
    server('set_fd_name_info', 'handle=%04x, rootdir=%04x, namelen=2, link=0, replace=0, name=L"y", '
           'filename="./y"' % (whole, shared))
    # a rename Wine refused by its bare name, made again through the held folder: a retry, not counted
    lines.append('0020:0024:Call ntdll.NtSetInformationFile(%08x,0077f000,0077f010,00000026,0000000a) '
                 'ret=00401000' % whole)
    lines.append('0020:0024:Ret  ntdll.NtSetInformationFile() retval=c000003b ret=00401000')
    server('set_fd_name_info', 'handle=%04x, rootdir=%04x, namelen=2, link=0, replace=0, name=L"z", '
           'filename="./z"' % (whole, folder))
    # delete-pending: a second handle on a file whose disposition is set
    first = open_file(0x00130196, 7, 'gone')
    second = open_file(0x00120089, 7, 'gone')
    server('set_fd_disp_info', 'handle=%04x, unlink=1' % first)
    open_file(0x00120089, 7, 'gone')                                           # refused
    server('close_handle', 'handle=%04x' % first)
    server('close_handle', 'handle=%04x' % second)
    lines.append('0024: close_handle( handle=%04x )' % (second + 4))           # the refused open's, no reply here
    with tempfile.NamedTemporaryFile('w', suffix='.trace', delete=False) as trace:
        trace.write('\n'.join(lines) + '\n')
    expected = {'query-attributes': 1, 'set-attributes': 1, 'rename-delete': 1, 'disposition-delete': 2,
                'end-of-file': 1, 'flush': 1, 'list-directory': 1, 'create-in-folder': 1, 'synchronous': 1,
                'delete-pending': 1, 'read-data': 1, 'write-data': 1, 'rename-target': 1, 'unbuffered': 2}
    failed = 0
    for strict in (False, True):
        checker = Checker('vanta.exe', strict)
        try:
            checker.run(trace.name)
        finally:
            if strict:
                os.unlink(trace.name)
        for rule in RULES:
            checked = sum(n for (_, r), n in checker.checked.items() if r == rule)
            refused = sum(n for (_, r), n in checker.refused.items() if r == rule)
            want = expected[rule] + (1 if strict and rule in ('rename-target', 'unbuffered') else 0)
            ok = refused == want and checked > refused
            failed |= not ok
            if not strict or rule in ('rename-target', 'unbuffered'):
                print('self-test%s %-19s checked %2d, refused %d (must refuse %d and pass the rest): %s' % (
                    ' --strict' if strict else '', rule, checked, refused, want, 'ok' if ok else 'FAILED'))
        if len(checker.retries) != (0 if strict else 1) or len(checker.probes) != (0 if strict else 1):
            failed = 1
            print('self-test: %d retries and %d probes listed apart' % (len(checker.retries), len(checker.probes)))
    print('self-test: %s' % ('FAILED' if failed else 'every rule refuses what breaks it'))
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--image', default='vanta.exe', help='the program whose calls are checked')
    parser.add_argument('--require', default='', help='rules (comma-separated) that must check a call')
    parser.add_argument('--sector', type=int, default=512, help='the sector size unbuffered I/O is held to')
    parser.add_argument('--strict', action='store_true',
                        help='count renames made again after Wine refused their first form, and first '
                             'writes made to be refused, as refusals')
    parser.add_argument('--self-test', action='store_true',
                        help='hold lines written as Wine writes them, each breaking one rule, to the rules')
    parser.add_argument('traces', nargs='*')
    options = parser.parse_args()
    if options.self_test:
        sys.exit(self_test())
    if not options.traces:
        parser.error('no trace')
    require = [rule for rule in options.require.split(',') if rule]
    for rule in require:
        if rule not in RULES:
            parser.error('no rule %s (rules: %s)' % (rule, ', '.join(RULES)))
    checker = Checker(options.image, options.strict, options.sector)
    for trace in options.traces:
        checker.run(trace)
    sys.exit(checker.report(require))


if __name__ == '__main__':
    main()
