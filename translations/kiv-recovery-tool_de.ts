<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>QObject</name>
    <message>
        <source>Choose an action type:
</source>
        <translation>Aktion wählen:
</translation>
    </message>
    <message>
        <source>get boot list</source>
        <translation>Boot-Liste ausgeben</translation>
    </message>
    <message>
        <source>rollback notification</source>
        <translation>Benachrichtigung zur Systemrücksetzung</translation>
    </message>
    <message>
        <source>Backup and Restore</source>
        <translation>Sichern und Wiederherstellen</translation>
    </message>
    <message>
        <source>System Recovery</source>
        <translation>Systemwiederherstellung</translation>
    </message>
</context>
<context>
    <name>RollbackNotify</name>
    <message>
        <source>Your system is successfully rolled back to %1.</source>
        <translation>Ihr System wurde erfolgreich auf den Stand %1 zurückgesetzt.</translation>
    </message>
    <message>
        <source>Rollback failed. The system is reverted to %1.</source>
        <translation>Das Zurücksetzen ist fehlgeschlagen. Das System bleibt auf dem Stand %1.</translation>
    </message>
</context>
</TS>
