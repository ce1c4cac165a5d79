<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>QObject</name>
    <message>
        <source>Choose an action type:
</source>
        <translation>选择操作类型：
</translation>
    </message>
    <message>
        <source>get boot list</source>
        <translation>获取启动列表</translation>
    </message>
    <message>
        <source>rollback notification</source>
        <translation>回滚通知</translation>
    </message>
    <message>
        <source>Backup and Restore</source>
        <translation>备份还原</translation>
    </message>
    <message>
        <source>System Recovery</source>
        <translation>系统恢复</translation>
    </message>
</context>
<context>
    <name>RollbackNotify</name>
    <message>
        <source>Your system is successfully rolled back to %1.</source>
        <translation>您的系统已成功回滚到 %1。</translation>
    </message>
    <message>
        <source>Rollback failed. The system is reverted to %1.</source>
        <translation>回滚失败，系统已还原到 %1。</translation>
    </message>
</context>
</TS>
