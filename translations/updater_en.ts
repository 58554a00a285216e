<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>CDownloadThread</name>
    <message>
        <source>路径%1被占用，无法删除!</source>
        <translation>The path %1 is in use and cannot be deleted!</translation>
    </message>
    <message>
        <source>更新文件%1写入失败</source>
        <translation>Writing the update file %1 failed</translation>
    </message>
    <message>
        <source>更新成功</source>
        <translation>Update succeeded</translation>
    </message>
    <message>
        <source>更新文件%1路径不合法</source>
        <translation>The update file %1 has an invalid path</translation>
    </message>
    <message>
        <source>更新文件%1与升级程序自己的文件%2同名</source>
        <translation>The update file %1 has the same name as the updater&apos;s own file %2</translation>
    </message>
    <message>
        <source>更新文件%1与%2路径仅大小写不同</source>
        <translation>The paths of the update files %1 and %2 differ only in case</translation>
    </message>
    <message>
        <source>更新文件%1与%2的备份文件同名</source>
        <translation>The update file %1 has the same name as the backup file of %2</translation>
    </message>
    <message>
        <source>安装目录中的%1是链接，不能安装</source>
        <translation>%1 in the installation folder is a link and cannot be installed</translation>
    </message>
    <message>
        <source>创建目录%1失败</source>
        <translation>Creating the folder %1 failed</translation>
    </message>
    <message>
        <source>覆盖文件%1失败</source>
        <translation>Overwriting the file %1 failed</translation>
    </message>
    <message>
        <source>删除文件%1失败</source>
        <translation>Deleting the file %1 failed</translation>
    </message>
    <message>
        <source>重命名%1为%2失败</source>
        <translation>Renaming %1 to %2 failed</translation>
    </message>
    <message>
        <source>创建文件[%1]失败:%2</source>
        <translation>Creating the file [%1] failed: %2</translation>
    </message>
</context>
<context>
    <name>CProxyLogin</name>
    <message>
        <source>代理服务器需要身份验证</source>
        <translation>The proxy server requires authentication</translation>
    </message>
    <message>
        <source>代理服务器：proxy.example.com:3128</source>
        <translation>Proxy server: proxy.example.com:3128</translation>
    </message>
    <message>
        <source>用户名</source>
        <translation>User</translation>
    </message>
    <message>
        <source>密码</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>用户名或密码被拒绝，请重新输入</source>
        <translation>Name or password refused, try again</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>代理服务器：%1</source>
        <translation>Proxy server: %1</translation>
    </message>
    <message>
        <source>代理服务器的用户名</source>
        <translation>Your user name for the proxy server</translation>
    </message>
    <message>
        <source>代理服务器的密码</source>
        <translation>Your password for the proxy server</translation>
    </message>
    <message>
        <source>用此用户名和密码登录代理服务器</source>
        <translation>Log in to the proxy server with this user name and password</translation>
    </message>
    <message>
        <source>不登录代理服务器</source>
        <translation>Do not log in to the proxy server</translation>
    </message>
</context>
<context>
    <name>CUpdateError</name>
    <message>
        <source>再试一次</source>
        <translation>Try again</translation>
    </message>
    <message>
        <source>官网下载</source>
        <translation>Website</translation>
    </message>
    <message>
        <source>更新失败</source>
        <translation>Update failed</translation>
    </message>
    <message>
        <source>网络错误：10012</source>
        <translation>Network error: 10012</translation>
    </message>
    <message>
        <source>重新检查更新并再次下载</source>
        <translation>Check for the update again and download it anew</translation>
    </message>
    <message>
        <source>在浏览器中打开官网的下载页面</source>
        <translation>Open the official website&apos;s download page in the browser</translation>
    </message>
</context>
<context>
    <name>CUpdateNotice</name>
    <message>
        <source>发现新版本：%1</source>
        <translation>New version found: %1</translation>
    </message>
</context>
<context>
    <name>CUpdateNoticeClass</name>
    <message>
        <source>立即更新</source>
        <translation>Update</translation>
    </message>
    <message>
        <source>以后再说</source>
        <translation>Later</translation>
    </message>
    <message>
        <source>发现新版本：3.0.2.0</source>
        <translation>New version found: 3.0.2.0</translation>
    </message>
    <message>
        <source>可以立即更新，也可以以后再说</source>
        <translation>You can update now or later</translation>
    </message>
    <message>
        <source>立即下载并安装新版本</source>
        <translation>Download and install the new version now</translation>
    </message>
    <message>
        <source>这次不更新</source>
        <translation>Do not update this time</translation>
    </message>
</context>
<context>
    <name>CUpdateProgress</name>
    <message>
        <source>正在更新</source>
        <translation>Updating</translation>
    </message>
    <message>
        <source>正在下载更新文件</source>
        <translation>Downloading update files</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>total为0</source>
        <translation>total is 0</translation>
    </message>
    <message>
        <source>正在下载更新文件%1</source>
        <translation>Downloading update file %1</translation>
    </message>
    <message>
        <source>bytesTotal为0</source>
        <translation>bytesTotal is 0</translation>
    </message>
    <message>
        <source>总进度</source>
        <translation>Overall progress</translation>
    </message>
    <message>
        <source>已处理的更新文件所占的比例</source>
        <translation>Share of the update files already handled</translation>
    </message>
    <message>
        <source>当前文件进度</source>
        <translation>Progress of the current file</translation>
    </message>
    <message>
        <source>停止下载更新</source>
        <translation>Stop downloading the update</translation>
    </message>
</context>
<context>
    <name>FileTransfer</name>
    <message>
        <source>下载更新文件%1失败</source>
        <translation>Downloading the update file %1 failed</translation>
    </message>
    <message>
        <source>下载更新文件%1网络错误：%2-%3</source>
        <translation>Network error downloading the update file %1: %2-%3</translation>
    </message>
    <message>
        <source>网络超时</source>
        <translation>Network timeout</translation>
    </message>
    <message>
        <source>传输速度过低</source>
        <translation>Transfer too slow</translation>
    </message>
    <message>
        <source>下载更新文件%1大小不对</source>
        <translation>The downloaded update file %1 has the wrong size</translation>
    </message>
    <message>
        <source>更新文件%1校验不对</source>
        <translation>The update file %1 failed its checksum</translation>
    </message>
    <message>
        <source>更新文件%1与签名不符</source>
        <translation>The update file %1 does not match the signature</translation>
    </message>
    <message>
        <source>更新文件%1写入失败</source>
        <translation>Writing the update file %1 failed</translation>
    </message>
</context>
<context>
    <name>QLabel</name>
    <message>
        <source>复制</source>
        <translation>Copy</translation>
    </message>
</context>
<context>
    <name>QNetworkReply</name>
    <message>
        <source>Connection closed</source>
        <translation>Connection closed</translation>
    </message>
    <message>
        <source>Insecure redirect</source>
        <translation>Insecure redirect</translation>
    </message>
    <message>
        <source>Too many redirects</source>
        <translation>Too many redirects</translation>
    </message>
    <message>
        <source>Error transferring %1 - server replied: %2</source>
        <translation>Error transferring %1 - server replied: %2</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>上级目录%1属于其他用户</source>
        <translation>The parent folder %1 belongs to another user</translation>
    </message>
    <message>
        <source>上级目录%1其他用户可写入</source>
        <translation>Other users can write to the parent folder %1</translation>
    </message>
    <message>
        <source>无法读取上级目录%1的所有者和权限</source>
        <translation>The owner and permissions of the parent folder %1 cannot be read</translation>
    </message>
    <message>
        <source>上级目录%1是指向别处的链接</source>
        <translation>The parent folder %1 is a link to somewhere else</translation>
    </message>
    <message>
        <source>发送请求失败</source>
        <translation>Sending the request failed</translation>
    </message>
    <message>
        <source>网络超时</source>
        <translation>Network timeout</translation>
    </message>
    <message>
        <source>数据量超过限制</source>
        <translation>Too much data</translation>
    </message>
    <message>
        <source>更新失败</source>
        <translation>Update failed</translation>
    </message>
    <message>
        <source>创建文件[%1]失败:%2</source>
        <translation>Creating the file [%1] failed: %2</translation>
    </message>
    <message>
        <source>需要管理员权限才能安装更新</source>
        <translation>Administrator rights are needed to install the update</translation>
    </message>
    <message>
        <source>:%1</source>
        <translation>: %1</translation>
    </message>
    <message>
        <source>升级签名文件格式不对</source>
        <translation>The update signature file is malformed</translation>
    </message>
    <message>
        <source>升级签名无效:没有受信任的密钥签名</source>
        <translation>Invalid update signature: not signed by a trusted key</translation>
    </message>
    <message>
        <source>升级签名与升级描述文件不符</source>
        <translation>The update signature does not match the update descriptor</translation>
    </message>
    <message>
        <source>升级版本回退:发布序号%1低于已安装的%2</source>
        <translation>Update version goes back: release number %1 is lower than the installed %2</translation>
    </message>
    <message>
        <source>升级版本冲突:发布序号%1已用于另一个发布</source>
        <translation>Update version conflict: release number %1 is already used by another release</translation>
    </message>
    <message>
        <source>升级签名已过期:%1过期,当前时间%2</source>
        <translation>The update signature has expired: it expired at %1, the time now is %2</translation>
    </message>
    <message>
        <source>升级签名与更新列表文件不符</source>
        <translation>The update signature does not match the update list</translation>
    </message>
    <message>
        <source>更新文件%1未经签名</source>
        <translation>The update file %1 is not signed</translation>
    </message>
    <message>
        <source>升级描述文件中的发布比例不合法:%1</source>
        <translation>Invalid rollout percentage in the update descriptor: %1</translation>
    </message>
    <message>
        <source>下载回退版本的签名文件失败:%1</source>
        <translation>Downloading the signature file of the fallback version failed: %1</translation>
    </message>
    <message>
        <source>是指向别处的链接</source>
        <translation>it is a link to somewhere else</translation>
    </message>
    <message>
        <source>属于其他用户</source>
        <translation>it belongs to another user</translation>
    </message>
    <message>
        <source>其他用户可写入</source>
        <translation>other users can write to it</translation>
    </message>
    <message>
        <source>无法读取其所有者和权限</source>
        <translation>its owner and permissions cannot be read</translation>
    </message>
    <message>
        <source>下载升级描述文件失败:%1</source>
        <translation>Downloading the update descriptor failed: %1</translation>
    </message>
    <message>
        <source>缓存目录%1不安全:%2</source>
        <translation>The cache folder %1 is not safe: %2</translation>
    </message>
    <message>
        <source>下载升级签名文件失败:%1</source>
        <translation>Downloading the update signature file failed: %1</translation>
    </message>
    <message>
        <source>下载更新列表文件失败:%1</source>
        <translation>Downloading the update list failed: %1</translation>
    </message>
    <message>
        <source>更新列表文件条目过多:%1行,最多%2行</source>
        <translation>The update list has too many entries: %1 lines, at most %2</translation>
    </message>
    <message>
        <source>配置错误</source>
        <translation>Configuration error</translation>
    </message>
    <message>
        <source>升级描述文件地址不合法:%1</source>
        <translation>Invalid update descriptor address: %1</translation>
    </message>
    <message>
        <source>代理服务器%1需要身份验证</source>
        <translation>The proxy server %1 requires authentication</translation>
    </message>
    <message>
        <source>:用户名或密码被拒绝</source>
        <translation>: the user name or password was refused</translation>
    </message>
    <message>
        <source>启动</source>
        <translation>Start-up</translation>
    </message>
    <message>
        <source>升级程序已运行</source>
        <translation>The updater is already running</translation>
    </message>
    <message>
        <source>升级地址不合法:%1</source>
        <translation>Invalid update address: %1</translation>
    </message>
    <message>
        <source>代理服务器地址不合法:%1</source>
        <translation>Invalid proxy server address: %1</translation>
    </message>
    <message>
        <source>升级签名公钥不合法:%1</source>
        <translation>Invalid update signing public key: %1</translation>
    </message>
</context>
<context>
    <name>Rollback</name>
    <message>
        <source>安装目录中的%1是链接，不能回退</source>
        <translation>%1 in the installation folder is a link: the update cannot be rolled back</translation>
    </message>
    <message>
        <source>无法打开目录%1:%2</source>
        <translation>Cannot open the folder %1: %2</translation>
    </message>
    <message>
        <source>回退时重命名%1为%2失败:%3</source>
        <translation>Renaming %1 to %2 failed while rolling back: %3</translation>
    </message>
    <message>
        <source>文件%1已存在,无法回退</source>
        <translation>The file %1 exists already: the update cannot be rolled back</translation>
    </message>
    <message>
        <source>旧版本文件%1不存在,无法回退</source>
        <translation>The previous version&apos;s file %1 is missing: the update cannot be rolled back</translation>
    </message>
    <message>
        <source>旧版本文件%1已被改动,无法回退</source>
        <translation>The previous version&apos;s file %1 has been changed: the update cannot be rolled back</translation>
    </message>
    <message>
        <source>没有可回退的更新:%1</source>
        <translation>No update to roll back: %1</translation>
    </message>
    <message>
        <source>创建文件[%1]失败:%2</source>
        <translation>Creating the file [%1] failed: %2</translation>
    </message>
</context>
</TS>
