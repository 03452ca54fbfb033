#!/usr/bin/env python3
"""Writes the ENI a configurator would export for the
line KickCAT's network_simulator serves from its example configurations
xmc4800.json, freedom-k64f.json and ecat402-drive.json, in that order.

Identities and process data come from the files those configurations name:
the boards' object-dictionary XML (EtherCATInfo) and EEPROM images (their SII
vendor IDs, mailbox and sync-manager areas), the drive's ESI. Each slave gets
the init commands of a configurator export (identity checks through the SII
interface, station address, mailbox and process-data sync managers, FMMUs,
AL state requests and checks); the drive, whose ESI allows PDO assignment,
also the CoE commands that assign its default PDOs. One LRW carries all
process data (outputs first), a BRD of AL status follows it.

    usage: kickcat-line-eni.py KICKCAT_SOURCE_DIR OUTPUT
    (KICKCAT_SOURCE_DIR: build/peers/kickcat-f10386d5 after scripts/build-peers.sh;
    the build writes build/tests/interop/kickcat-line.eni.xml with it)
"""
import sys
import xml.etree.ElementTree as ET

K = sys.argv[1]
out = sys.argv[2]

def num(t):
    t = t.strip()
    return int(t[2:], 16) if t[:2] in ('#x', '0x') else int(t)

def pdos(dev, tag):
    res = []
    for p in dev.findall(tag):
        if 'Sm' not in p.attrib:
            continue
        ents = [(num(e.findtext('Index')), num(e.findtext('SubIndex') or '0'), num(e.findtext('BitLen')),
                 e.findtext('Name'), e.findtext('DataType')) for e in p.findall('Entry')]
        res.append((num(p.findtext('Index')), p.findtext('Name'), int(p.attrib['Sm']), p.attrib.get('Fixed') in ('1', 'true'), ents))
    return res

def esi(path):
    r = ET.parse(path).getroot()
    dev = r.find('.//Devices/Device')
    t = dev.find('Type')
    coe = dev.find('Mailbox/CoE')
    return dict(vendor=num(r.findtext('Vendor/Id')), product=num(t.attrib['ProductCode']),
                rev=num(t.attrib['RevisionNo']), type=t.text, name=dev.findtext('Name'),
                rx=pdos(dev, 'RxPdo'), tx=pdos(dev, 'TxPdo'),
                assign=coe is not None and coe.attrib.get('PdoAssign') in ('true', '1'))

def sii(path):
    """Vendor ID, mailbox out/in start and length, SM2 and SM3 start of an
    EEPROM image (words 0x08 and 0x18-0x1B, the sync-manager category)."""
    d = open(path, 'rb').read()
    word = lambda i: int.from_bytes(d[2 * i:2 * i + 2], 'little')
    vendor = word(8) | word(9) << 16
    sms = []
    at = 0x80
    while at + 4 <= len(d):
        kind, words = word(at // 2), word(at // 2 + 1)
        if kind == 0xffff:
            break
        if kind == 41:
            body = d[at + 4:at + 4 + 2 * words]
            sms = [int.from_bytes(body[i:i + 2], 'little') for i in range(0, len(body), 8)]
        at += 4 + 2 * words
    return vendor, (word(0x18), word(0x19), word(0x1a), word(0x1b), sms[2], sms[3])


def esi_areas(path):
    """The same areas from an ESI's Sm elements (mailbox at their default size)."""
    sms = ET.parse(path).getroot().findall('.//Devices/Device/Sm')
    start = lambda i: num(sms[i].attrib['StartAddress'])
    return (start(0), num(sms[0].attrib['DefaultSize']), start(1), num(sms[1].attrib['DefaultSize']),
            start(2), start(3))


def board(folder, xml, eeprom):
    dev = esi(folder + xml)
    vendor, areas = sii(folder + eeprom)
    dev['vendor'] = vendor  # the SII's, which the slave shows; its XML names another
    return dev, areas


ex = K + '/examples/slave/'
drive = K + '/simulation/slave_configs/ecat402-drive.xml'
line = [
    board(ex + 'xmc4800/xmc4800-relax/nuttx/', 'xmc4800.xml', 'eeprom_xmc4800.bin'),
    board(ex + 'lan9252/freedom-k64f/nuttx/', 'freedom-k64f.xml', 'eeprom.bin'),
    (esi(drive), esi_areas(drive)),
]

FRAME = 26  # Ethernet, EtherCAT and datagram headers before the cyclic data
LOG = 0x00010000
outs = [sum(e[2] for p in s['rx'] for e in p[4]) for s, _ in line]
ins = [sum(e[2] for p in s['tx'] for e in p[4]) for s, _ in line]
obytes = [(b + 7) // 8 for b in outs]
ibytes = [(b + 7) // 8 for b in ins]
O = sum(obytes); I = sum(ibytes)

L = []
w = L.append
def hx(b): return b.hex()
def le(v, n): return v.to_bytes(n, 'little')

def cmd(trans, comment, c, adp, ado, data, cnt=None, retries=3, validate=None, timeout=None, before=False, datalen=None):
    w('        <InitCmd>')
    for t in trans: w(f'          <Transition>{t}</Transition>')
    if before: w('          <BeforeSlave>true</BeforeSlave>')
    w(f'          <Comment><![CDATA[{comment}]]></Comment>')
    w('          <Requires>cycle</Requires>')
    w(f'          <Cmd>{c}</Cmd>')
    w(f'          <Adp>{adp}</Adp>')
    w(f'          <Ado>#x{ado:04x}</Ado>')
    if datalen is not None: w(f'          <DataLength>{datalen}</DataLength>')
    else: w(f'          <Data>{hx(data)}</Data>')
    if cnt is not None: w(f'          <Cnt>{cnt}</Cnt>')
    w(f'          <Retries>{retries}</Retries>')
    if validate:
        w('          <Validate>')
        w(f'            <Data>{hx(validate[0])}</Data>')
        if validate[1] is not None: w(f'            <DataMask>{hx(validate[1])}</DataMask>')
        w(f'            <Timeout>{validate[2]}</Timeout>')
        w('          </Validate>')
    if timeout: w(f'          <Timeout>{timeout}</Timeout>')
    w('        </InitCmd>')

APRD, APWR, FPRD, FPWR, BRD, BWR = 1, 2, 4, 5, 7, 8
n = len(line)
w('<?xml version="1.0" encoding="UTF-8"?>')
w('<!-- Written by tests/interop/kickcat-line-eni.py for the line of KickCAT\'s example slaves. -->')
w('<EtherCATConfig xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xsi:noNamespaceSchemaLocation="EtherCATConfig.xsd" Version="1.3">')
w('  <Config>')
w('    <Master>')
w('      <Info>')
w('        <Name><![CDATA[Master]]></Name>')
w('        <Destination>ffffffffffff</Destination>')
w('        <Source>020000000001</Source>')
w('        <EtherType>a488</EtherType>')
w('      </Info>')
w('      <InitCmds>')
cmd(['IP'], 'read slave count', BRD, 0, 0x0130, b'\0\0', cnt=n, retries=0, before=True)
cmd(['IP'], 'clear configured addresses', BWR, 0, 0x0010, b'\0\0', before=True)
cmd(['IP', 'PI', 'SI', 'OI'], 'clear fmmu', BWR, 0, 0x0600, None, before=True, datalen=256)
cmd(['IP'], 'clear sm', BWR, 0, 0x0800, None, before=True, datalen=256)
w('      </InitCmds>')
w('    </Master>')

oofs = 0; iofs = 0
for i, (s, areas) in enumerate(line):
    phys = 1001 + i
    auto = (65536 - i) % 65536
    mo, ml, mi, mil, sm2, sm3 = areas
    w('    <Slave>')
    w('      <Info>')
    w(f'        <Name><![CDATA[Box {i + 1} ({s["type"]})]]></Name>')
    w(f'        <PhysAddr>{phys}</PhysAddr>')
    w(f'        <AutoIncAddr>{auto}</AutoIncAddr>')
    w('        <Physics>YY</Physics>')
    w(f'        <VendorId>{s["vendor"]}</VendorId>')
    w(f'        <ProductCode>#x{s["product"]:08x}</ProductCode>')
    w(f'        <RevisionNo>#x{s["rev"]:08x}</RevisionNo>')
    w('        <SerialNo>0</SerialNo>')
    w('      </Info>')
    w('      <ProcessData>')
    w('        <Send>')
    w(f'          <BitStart>{(FRAME + oofs) * 8}</BitStart>')
    w(f'          <BitLength>{outs[i]}</BitLength>')
    w('        </Send>')
    w('        <Recv>')
    w(f'          <BitStart>{(FRAME + O + iofs) * 8}</BitStart>')
    w(f'          <BitLength>{ins[i]}</BitLength>')
    w('        </Recv>')
    for smn, typ, start, ctrl, lst in ((2, 'Outputs', sm2, 0x64, s['rx']), (3, 'Inputs', sm3, 0x20, s['tx'])):
        w(f'        <Sm{smn}>')
        w(f'          <Type>{typ}</Type>')
        w(f'          <DefaultSize>{obytes[i] if smn == 2 else ibytes[i]}</DefaultSize>')
        w(f'          <StartAddress>#x{start:04x}</StartAddress>')
        w(f'          <ControlByte>#x{ctrl:02x}</ControlByte>')
        w('          <Enable>1</Enable>')
        for p in lst: w(f'          <Pdo>#x{p[0]:04x}</Pdo>')
        w(f'        </Sm{smn}>')
    for tag, lst in (('RxPdo', s['rx']), ('TxPdo', s['tx'])):
        for idx, name, sm, fixed, ents in lst:
            w(f'        <{tag} Fixed="{"true" if fixed else "false"}" Sm="{sm}">')
            w(f'          <Index>#x{idx:04x}</Index>')
            w(f'          <Name>{name}</Name>')
            for ei, es, bl, en, dt in ents:
                w('          <Entry>')
                w(f'            <Index>#x{ei:04x}</Index>')
                w(f'            <SubIndex>{es}</SubIndex>')
                w(f'            <BitLen>{bl}</BitLen>')
                w(f'            <Name>{en}</Name>')
                w(f'            <DataType>{dt}</DataType>')
                w('          </Entry>')
            w(f'        </{tag}>')
    w('      </ProcessData>')
    w('      <Mailbox DataLinkLayer="true">')
    w('        <Send>')
    w(f'          <Start>#x{mo:04x}</Start>')
    w(f'          <Length>{ml}</Length>')
    w('        </Send>')
    w('        <Recv>')
    w(f'          <Start>#x{mi:04x}</Start>')
    w(f'          <Length>{mil}</Length>')
    w('          <PollTime>20</PollTime>')
    w('        </Recv>')
    w('        <Protocol>CoE</Protocol>')
    if s['assign']:
        w('        <CoE>')
        w('          <InitCmds>')
        def sdo(comment, index, sub, data):
            w('            <InitCmd Fixed="true">')
            w('              <Transition>PS</Transition>')
            w(f'              <Comment><![CDATA[{comment}]]></Comment>')
            w('              <Timeout>0</Timeout>')
            w('              <Ccs>1</Ccs>')
            w(f'              <Index>#x{index:04x}</Index>')
            w(f'              <SubIndex>{sub}</SubIndex>')
            w(f'              <Data>{hx(data)}</Data>')
            w('            </InitCmd>')
        for assign, lst in ((0x1c12, s['rx']), (0x1c13, s['tx'])):
            sdo(f'clear sm pdos (0x{assign:04X})', assign, 0, b'\0')
            for k, p in enumerate(lst):
                sdo(f'download pdo 0x{assign:04X}:{k + 1:02X} index', assign, k + 1, le(p[0], 2))
            sdo(f'download pdo 0x{assign:04X} count', assign, 0, bytes([len(lst)]))
        w('          </InitCmds>')
        w('        </CoE>')
    w('      </Mailbox>')
    w('      <InitCmds>')
    st = lambda v: le(v, 2)
    alst = lambda v: le(v, 2) + b'\0' * 4
    cmd(['PI', 'SI', 'OI'], 'set device state to INIT', APWR, auto, 0x0120, st(0x11), timeout=5000)
    cmd(['PI', 'SI', 'OI'], 'check device state for INIT', APRD, auto, 0x0130, st(0), validate=(st(0x01), st(0x0f), 5000))
    cmd(['IP'], 'set device state to INIT', APWR, auto, 0x0120, st(0x11), cnt=1, timeout=3000)
    cmd(['IP'], 'check device state for INIT', APRD, auto, 0x0130, st(0), cnt=1, validate=(st(0x01), st(0x0f), 3000))
    cmd(['IP'], 'assign EEPROM to ECAT', APWR, auto, 0x0500, b'\0', cnt=1)
    cmd(['IP'], 'check vendor id', APWR, auto, 0x0502, bytes([0, 1, 8, 0, 0, 0]), cnt=1)
    cmd(['IP'], 'check vendor id', APRD, auto, 0x0508, b'\0' * 4, cnt=1, validate=(le(s['vendor'], 4), None, 100))
    cmd(['IP'], 'check product code', APWR, auto, 0x0502, bytes([0, 1, 0x0a, 0, 0, 0]), cnt=1)
    cmd(['IP'], 'check product code', APRD, auto, 0x0508, b'\0' * 4, cnt=1, validate=(le(s['product'], 4), None, 100))
    cmd(['IP'], 'set physical address', APWR, auto, 0x0010, le(phys, 2), cnt=1)
    cmd(['IP', 'PI', 'SI', 'OI'], 'clear sm 0/1 (mailbox out/in)', FPWR, phys, 0x0800, b'\0' * 16)
    cmd(['IP'], 'set sm 0 (mailbox out)', FPWR, phys, 0x0800, le(mo, 2) + le(ml, 2) + bytes([0x26, 0, 1, 0]), cnt=1)
    cmd(['IP'], 'set sm 1 (mailbox in)', FPWR, phys, 0x0808, le(mi, 2) + le(mil, 2) + bytes([0x22, 0, 1, 0]), cnt=1)
    cmd(['IP', 'SP', 'SI', 'OP', 'OI'], 'clear sms', FPWR, phys, 0x0810, b'\0' * 16)
    cmd(['IP'], 'set device state to PREOP', FPWR, phys, 0x0120, st(0x12), cnt=1, timeout=3000)
    cmd(['IP'], 'check device state for PREOP', FPRD, phys, 0x0130, alst(0), cnt=1, validate=(alst(0x02), alst(0x1f), 3000))
    cmd(['PS'], 'set sm 2 (outputs)', FPWR, phys, 0x0810, le(sm2, 2) + le(obytes[i], 2) + bytes([0x64, 0, 1, 0]), cnt=1)
    cmd(['PS'], 'set sm 3 (inputs)', FPWR, phys, 0x0818, le(sm3, 2) + le(ibytes[i], 2) + bytes([0x20, 0, 1, 0]), cnt=1)
    cmd(['PS'], 'set fmmu 0 (outputs)', FPWR, phys, 0x0600,
        le(LOG + oofs, 4) + le(obytes[i], 2) + bytes([0, 7]) + le(sm2, 2) + bytes([0, 2, 1, 0, 0, 0]), cnt=1)
    cmd(['PS'], 'set fmmu 1 (inputs)', FPWR, phys, 0x0610,
        le(LOG + O + iofs, 4) + le(ibytes[i], 2) + bytes([0, 7]) + le(sm3, 2) + bytes([0, 1, 1, 0, 0, 0]), cnt=1)
    cmd(['PS'], 'set device state to SAFEOP', FPWR, phys, 0x0120, st(0x04), cnt=1, timeout=10000)
    cmd(['PS'], 'check device state for SAFEOP', FPRD, phys, 0x0130, alst(0), cnt=1, validate=(alst(0x04), alst(0x1f), 10000))
    cmd(['SO'], 'set device state to OP', FPWR, phys, 0x0120, st(0x08), cnt=1, timeout=10000)
    cmd(['SO'], 'check device state for OP', FPRD, phys, 0x0130, alst(0), cnt=1, validate=(alst(0x08), alst(0x1f), 10000))
    cmd(['OS'], 'set device state to SAFEOP', FPWR, phys, 0x0120, st(0x04), timeout=200)
    cmd(['OS'], 'check device state for SAFEOP', FPRD, phys, 0x0130, alst(0), validate=(alst(0x04), alst(0x0f), 200))
    cmd(['SP', 'OP'], 'set device state to PREOP', FPWR, phys, 0x0120, st(0x12), timeout=200)
    cmd(['SP', 'OP'], 'check device state for PREOP', FPRD, phys, 0x0130, alst(0), validate=(alst(0x02), alst(0x0f), 5000))
    cmd(['SP', 'SI', 'OP', 'OI'], 'clear fmmu 0', FPWR, phys, 0x0600, b'\0' * 16)
    cmd(['SP', 'SI', 'OP', 'OI'], 'clear fmmu 1', FPWR, phys, 0x0610, b'\0' * 16)
    w('      </InitCmds>')
    w('    </Slave>')
    oofs += obytes[i]; iofs += ibytes[i]

w('    <Cyclic>')
w('      <CycleTime>1000</CycleTime>')
w('      <Frame>')
w('        <Cmd>')
w('          <State>SAFEOP</State>')
w('          <State>OP</State>')
w('          <Comment><![CDATA[cyclic cmd]]></Comment>')
w('          <Cmd>12</Cmd>')
w(f'          <Addr>#x{LOG:08x}</Addr>')
w(f'          <DataLength>{O + I}</DataLength>')
w(f'          <Cnt>{3 * n}</Cnt>')
w(f'          <InputOffs>{FRAME}</InputOffs>')
w(f'          <OutputOffs>{FRAME}</OutputOffs>')
w('        </Cmd>')
w('        <Cmd>')
w('          <State>PREOP</State>')
w('          <State>SAFEOP</State>')
w('          <State>OP</State>')
w('          <Comment><![CDATA[cyclic cmd]]></Comment>')
w('          <Cmd>7</Cmd>')
w('          <Adp>0</Adp>')
w('          <Ado>#x0130</Ado>')
w('          <DataLength>2</DataLength>')
w(f'          <Cnt>{n}</Cnt>')
w(f'          <InputOffs>{FRAME + O + I + 12}</InputOffs>')
w(f'          <OutputOffs>{FRAME + O + I + 12}</OutputOffs>')
w('        </Cmd>')
w('      </Frame>')
w('    </Cyclic>')
w('    <ProcessImage>')
for kind, lst, base, key in (('Inputs', 'tx', FRAME + O, ins), ('Outputs', 'rx', FRAME, outs)):
    w(f'      <{kind}>')
    w('        <ByteSize>1536</ByteSize>')
    ofs = base * 8
    for i, (s, _) in enumerate(line):
        for p in s[lst]:
            for ei, es, bl, en, dt in p[4]:
                w('        <Variable>')
                w(f'          <Name>Box {i + 1}.{p[1]}.{en}</Name>')
                w(f'          <DataType>{dt}</DataType>')
                w(f'          <BitSize>{bl}</BitSize>')
                w(f'          <BitOffs>{ofs}</BitOffs>')
                w('        </Variable>')
                ofs += bl
        ofs = (ofs + 7) // 8 * 8
    w(f'      </{kind}>')
w('    </ProcessImage>')
w('  </Config>')
w('</EtherCATConfig>')
open(out, 'w').write('\n'.join(L) + '\n')
